// Loopback stand-ins for the network the HTTP tests talk to: a scripted HTTP
// server and a stub DNS server, both on 127.0.0.1 with ephemeral ports, each on a
// thread of its own, plus a bounded way to drive an event loop. They use Asio's
// sockets in non-blocking mode and poll them in short steps, so every wait has
// an end and they build wherever Asio does.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dns_stub.h"

namespace quillon::http_test {

using namespace std::chrono_literals;

// Runs the loop until `done` holds or `limit` has passed; true when it holds.
inline bool RunUntil(asio::io_context& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (loop.stopped()) loop.restart();
    if (loop.run_one_for(20ms) == 0) std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Runs whatever is ready for a while, for tests that check nothing happens.
inline void RunFor(asio::io_context& loop, std::chrono::milliseconds span) {
  RunUntil(loop, [] { return false; }, span);
}

inline asio::ip::tcp::endpoint Loopback(uint16_t port) {
  return asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port);
}

// True when a non-blocking call found nothing to do yet.
inline bool WouldBlock(const asio::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
inline uint16_t UnusedPort() {
  asio::io_context context;
  asio::ip::tcp::acceptor bound(context);
  bound.open(asio::ip::tcp::v4());
  bound.bind(Loopback(0));
  return bound.local_endpoint().port();
}

// Accepts one connection at a time, records the request (through its blank line)
// and lets the test's reply script talk to the client.
class ScriptedHttpServer {
 public:
  // The script gets a number for the connection it serves; Send and
  // AwaitPeerClose take it, on the server's thread.
  using Reply = std::function<void(ScriptedHttpServer& server, int fd)>;

  explicit ScriptedHttpServer(Reply reply) : reply_(std::move(reply)), acceptor_(context_) {
    acceptor_.open(asio::ip::tcp::v4());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(Loopback(0));
    acceptor_.listen(8);
    acceptor_.non_blocking(true);
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { Serve(); });
  }

  ~ScriptedHttpServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  uint16_t port() const { return port_; }

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // True once the client has closed the connection being served.
  bool peer_closed() const { return peer_closed_; }

  // For reply scripts: waits up to `span`; false when the server is stopping.
  bool Pause(std::chrono::milliseconds span) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, span, [this] { return stopping_; });
  }

  // Sends all of `bytes` unless the connection fails or 10 s pass.
  static void Send(int fd, std::string_view bytes) {
    const Serving& serving = ServingOnThisThread();
    if (serving.socket != nullptr && serving.number == fd) Send(*serving.socket, bytes);
  }
  static void Send(asio::ip::tcp::socket& socket, std::string_view bytes) {
    asio::error_code error;
    socket.non_blocking(true, error);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    size_t offset = 0;
    while (offset < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      const size_t sent = socket.write_some(asio::buffer(bytes.substr(offset)), error);
      if (WouldBlock(error)) {
        std::this_thread::sleep_for(1ms);
      } else if (error) {
        return;
      } else {
        offset += sent;
      }
    }
  }

  // Waits (bounded) until the client closes its end.
  void AwaitPeerClose(int fd, std::chrono::milliseconds limit) {
    const Serving& serving = ServingOnThisThread();
    if (serving.socket == nullptr || serving.number != fd) return;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char scratch[512];
    while (std::chrono::steady_clock::now() < deadline) {
      asio::error_code error;
      serving.socket->read_some(asio::buffer(scratch), error);
      if (WouldBlock(error)) {
        if (!Pause(5ms)) return;
      } else if (error) {  // the end of the stream, or a reset
        peer_closed_ = true;
        return;
      }
    }
  }

 private:
  // The connection a reply script on this thread is serving.
  struct Serving {
    int number = 0;
    asio::ip::tcp::socket* socket = nullptr;
  };
  static Serving& ServingOnThisThread() {
    thread_local Serving serving;
    return serving;
  }

  void Serve() {
    for (int served = 1;; ++served) {
      asio::ip::tcp::socket connection(context_);
      asio::error_code error;
      while (acceptor_.accept(connection, error), error) {
        if (!Pause(5ms)) return;
      }
      connection.non_blocking(true, error);
      std::string request = ReadRequest(connection);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
      }
      ServingOnThisThread() = {served, &connection};
      reply_(*this, served);
      ServingOnThisThread() = {};
      connection.close(error);
      if (!Pause(0ms)) return;
    }
  }

  static std::string ReadRequest(asio::ip::tcp::socket& connection) {
    std::string request;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      asio::error_code error;
      const size_t got = connection.read_some(asio::buffer(chunk), error);
      if (WouldBlock(error)) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      if (error) break;
      request.append(chunk, got);
    }
    return request;
  }

  Reply reply_;
  asio::io_context context_;  // never run: the sockets are used synchronously
  asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<std::string> requests_;
  std::atomic<bool> peer_closed_{false};
};

// A reply script: sends the whole reply at once and closes.
inline ScriptedHttpServer::Reply Replying(std::string reply) {
  return [reply = std::move(reply)](ScriptedHttpServer&, int fd) { ScriptedHttpServer::Send(fd, reply); };
}

// Answers A queries for the names it knows, NXDOMAIN for the rest, or nothing at
// all when silent. It runs on a thread of its own, so that a resolver that blocks
// the test's thread is answered; testing::DnsStub answers PTR queries on the
// test's own loop.
class StubDns {
 public:
  explicit StubDns(std::map<std::string, std::string> names, bool silent = false)
      : names_(std::move(names)), silent_(silent), socket_(context_) {
    socket_.open(asio::ip::udp::v4());
    socket_.bind(asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    socket_.non_blocking(true);
    port_ = socket_.local_endpoint().port();
    thread_ = std::thread([this] { Serve(); });
  }
  ~StubDns() {
    stopping_ = true;
    thread_.join();
  }

  // As QUILLON_DNS_SERVERS names it.
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }

 private:
  void Serve() {
    uint8_t packet[512];
    while (!stopping_) {
      asio::ip::udp::endpoint from;
      asio::error_code error;
      const size_t got = socket_.receive_from(asio::buffer(packet), from, 0, error);
      if (error) {  // nothing waiting, or (Windows) an earlier reply found no one
        std::this_thread::sleep_for(2ms);
        continue;
      }
      if (got < 12) continue;
      ++queries_;
      if (silent_) continue;
      std::vector<uint8_t> answer = Answer(std::span<const uint8_t>(packet, got));
      if (!answer.empty()) socket_.send_to(asio::buffer(answer), from, 0, error);
    }
  }

  std::vector<uint8_t> Answer(std::span<const uint8_t> query) const {
    const std::optional<testing::DnsQuestion> question = testing::ReadDnsQuestion(query);
    if (!question) return {};

    std::vector<uint8_t> reply(query.begin(), query.begin() + question->end);
    reply[2] = static_cast<uint8_t>(0x80 | (query[2] & 0x79));  // response, same opcode and RD
    reply[3] = 0x80;                                            // recursion available
    reply[4] = 0, reply[5] = 1;                                 // one question
    for (size_t i = 6; i < 12; ++i) reply[i] = 0;
    const auto known = names_.find(question->name);
    if (known == names_.end()) {
      reply[3] |= 3;  // NXDOMAIN
      return reply;
    }
    if (question->type != 1) return reply;  // no data of that type
    reply[7] = 1;                           // one answer
    asio::error_code error;
    const asio::ip::address_v4::bytes_type address = asio::ip::make_address_v4(known->second, error).to_bytes();
    const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    reply.insert(reply.end(), std::begin(record), std::end(record));
    reply.insert(reply.end(), address.begin(), address.end());
    return reply;
  }

  std::map<std::string, std::string> names_;
  bool silent_;
  asio::io_context context_;  // never run: the socket is used synchronously
  asio::ip::udp::socket socket_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> queries_{0};
};

}  // namespace quillon::http_test
