// Test helpers for host-name lookups: a DNS server on 127.0.0.1 that answers
// PTR queries as each test tells it (a name, NXDOMAIN, a broken answer, or
// nothing, at once or late), a sink that records OnHostNameResult, and a
// bounded way to run the loop. Its reader of a query's question also serves
// http_test::StubDns.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <ostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/dispatch.h"
#include "core/type_library.h"
#include "product/quillon_product.h"

namespace quillon::testing {

// The question of a DNS query, as both stub servers read it.
struct DnsQuestion {
  std::string name;  // in lower case, labels joined by dots
  uint16_t type = 0;
  size_t end = 0;  // where the question (labels, root, type, class) ends
};

// Nothing when the query is shorter than a header or its question is cut short.
inline std::optional<DnsQuestion> ReadDnsQuestion(std::span<const uint8_t> query) {
  if (query.size() < 12) return std::nullopt;
  DnsQuestion question;
  size_t at = 12;
  while (at < query.size() && query[at] != 0) {
    const size_t length = query[at++];
    if (at + length > query.size()) return std::nullopt;
    if (!question.name.empty()) question.name += '.';
    for (size_t i = 0; i < length; ++i) question.name += static_cast<char>(std::tolower(query[at + i]));
    at += length;
  }
  if (at + 5 > query.size()) return std::nullopt;
  question.type = static_cast<uint16_t>(query[at + 1] << 8 | query[at + 2]);
  question.end = at + 5;
  return question;
}

class DnsStub {
 public:
  enum class Reply { kName, kNxDomain, kSilent, kBrokenAnswer };
  struct Rule {
    Reply reply = Reply::kNxDomain;
    std::string name;                   // for kName
    std::chrono::milliseconds delay{0};  // before the reply goes out
  };

  explicit DnsStub(asio::io_context& loop)
      : loop_(loop), socket_(loop, asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)) {
    Receive();
  }

  // What queries for the reverse name of `dotted_ip` ("192.0.2.5") get.
  // Addresses without a rule get NXDOMAIN.
  void Answer(const std::string& dotted_ip, Rule rule) { rules_[ReverseName(dotted_ip)] = std::move(rule); }

  // "127.0.0.1:PORT", the form the network settings take.
  std::string server() const { return "127.0.0.1:" + std::to_string(socket_.local_endpoint().port()); }

  int queries_for(const std::string& dotted_ip) const {
    auto it = counts_.find(ReverseName(dotted_ip));
    return it == counts_.end() ? 0 : it->second;
  }

 private:
  static std::string ReverseName(const std::string& dotted_ip) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t dot; (dot = dotted_ip.find('.', start)) != std::string::npos; start = dot + 1) {
      parts.push_back(dotted_ip.substr(start, dot - start));
    }
    parts.push_back(dotted_ip.substr(start));
    std::string name;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) name += *it + ".";
    return name + "in-addr.arpa";
  }

  void Receive() {
    socket_.async_receive_from(asio::buffer(buffer_), peer_, [this](const asio::error_code& error, size_t size) {
      if (error) return;
      Handle(std::span<const uint8_t>(buffer_.data(), size), peer_);
      Receive();
    });
  }

  void Handle(std::span<const uint8_t> query, const asio::ip::udp::endpoint& peer) {
    const std::optional<DnsQuestion> question = ReadDnsQuestion(query);
    if (!question) return;
    const size_t question_end = question->end;
    ++counts_[question->name];

    auto found = rules_.find(question->name);
    const Rule rule = found == rules_.end() ? Rule{} : found->second;
    if (rule.reply == Reply::kSilent) return;

    std::vector<uint8_t> reply(query.begin(), query.begin() + question_end);
    reply[2] = 0x81;  // a response, recursion desired
    reply[3] = rule.reply == Reply::kNxDomain ? 0x83 : 0x80;  // recursion available; NXDOMAIN or none
    reply[6] = 0, reply[7] = rule.reply == Reply::kNxDomain ? 0 : 1;  // answers
    reply[8] = reply[9] = reply[10] = reply[11] = 0;
    if (rule.reply == Reply::kName) {
      std::vector<uint8_t> data;
      size_t start = 0;
      for (size_t dot;; start = dot + 1) {
        dot = rule.name.find('.', start);
        const std::string label = rule.name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        data.push_back(static_cast<uint8_t>(label.size()));
        data.insert(data.end(), label.begin(), label.end());
        if (dot == std::string::npos) break;
      }
      data.push_back(0);
      const uint8_t answer[] = {0xC0, 0x0C, 0, 12, 0, 1, 0, 0, 0, 60,
                                static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
      reply.insert(reply.end(), std::begin(answer), std::end(answer));
      reply.insert(reply.end(), data.begin(), data.end());
    } else if (rule.reply == Reply::kBrokenAnswer) {
      const uint8_t cut_short[] = {0xC0, 0x0C, 0, 12, 0};  // one answer announced, five bytes of it sent
      reply.insert(reply.end(), std::begin(cut_short), std::end(cut_short));
    }

    auto send = [this, reply, peer] { socket_.send_to(asio::buffer(reply), peer); };
    if (rule.delay.count() == 0) {
      send();
      return;
    }
    timers_.emplace_back(loop_, rule.delay);
    timers_.back().async_wait([send](const asio::error_code& error) {
      if (!error) send();
    });
  }

  asio::io_context& loop_;
  asio::ip::udp::socket socket_;
  std::array<uint8_t, 512> buffer_{};
  asio::ip::udp::endpoint peer_;
  std::map<std::string, Rule> rules_;
  std::map<std::string, int> counts_;
  std::list<asio::steady_timer> timers_;
};

// Records every OnHostNameResult it is sent; `on_event` runs inside the event.
class HostNameSink : public Dispatch {
 public:
  struct Event {
    std::u16string ip;
    std::u16string host;
    int32_t code;
    bool operator==(const Event&) const = default;
    friend void PrintTo(const Event& e, std::ostream* os) {
      *os << "{" << std::string(e.ip.begin(), e.ip.end()) << ", " << std::string(e.host.begin(), e.host.end())
          << ", " << e.code << "}";
    }
  };

  const ClassInfo& Class() const override { return *QuillonTypeLibrary().FindClass("IPInfo"); }

  HResult Invoke(DispId dispid, uint16_t, std::span<Variant> args, Variant*, ExceptionInfo*) override {
    // The event's parameters are a text, a text and a 32-bit integer.
    if (dispid != 1 || args.size() != 3 || args[0].vt() != VT_BSTR || args[1].vt() != VT_BSTR ||
        args[2].vt() != VT_I4) {
      ++malformed;
      return hr::kOk;
    }
    events.push_back({args[0].bstr(), args[1].bstr(), args[2].i4()});
    if (on_event) on_event(events.back());
    return hr::kOk;
  }

  std::vector<Event> events;
  int malformed = 0;
  std::function<void(const Event&)> on_event;
};

// Runs the loop one handler at a time until `done` or `limit`; true if done.
inline bool RunUntil(asio::io_context& loop, const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    loop.restart();
    loop.run_one_for(deadline - now);
  }
  return true;
}

// Runs the loop for a while, for tests that check nothing else happens.
inline void RunFor(asio::io_context& loop, std::chrono::milliseconds duration) {
  loop.restart();
  loop.run_for(duration);
}

}  // namespace quillon::testing
