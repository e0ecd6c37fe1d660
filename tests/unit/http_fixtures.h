// Loopback stand-ins for the network the HTTP tests talk to: a scripted HTTP
// server and a stub DNS server, both on 127.0.0.1 with ephemeral ports, each on a
// thread of its own, plus a bounded way to drive an event loop.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
inline uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const uint16_t port = PortOf(fd);
  ::close(fd);
  return port;
}

// Accepts one connection at a time, records the request (through its blank line)
// and lets the test's reply script talk to the client.
class ScriptedHttpServer {
 public:
  using Reply = std::function<void(ScriptedHttpServer& server, int fd)>;

  explicit ScriptedHttpServer(Reply reply) : reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(0);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    port_ = PortOf(listener_);
    thread_ = std::thread([this] { Serve(); });
  }

  ~ScriptedHttpServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    ::close(listener_);
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

  static void Send(int fd, std::string_view bytes) {
    size_t offset = 0;
    for (int round = 0; offset < bytes.size() && round < 10000; ++round) {
      const ssize_t sent = ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
      if (sent <= 0) return;
      offset += static_cast<size_t>(sent);
    }
  }

  // Waits (bounded) until the client closes its end.
  void AwaitPeerClose(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char scratch[512];
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      if (::recv(fd, scratch, sizeof scratch, 0) <= 0) {
        peer_closed_ = true;
        return;
      }
    }
  }

 private:
  void Serve() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string request = ReadRequest(fd);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
      }
      reply_(*this, fd);
      ::close(fd);
    }
  }

  static std::string ReadRequest(int fd) {
    std::string request;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    return request;
  }

  Reply reply_;
  int listener_ = -1;
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
// all when silent.
class StubDns {
 public:
  explicit StubDns(std::map<std::string, std::string> names, bool silent = false)
      : names_(std::move(names)), silent_(silent) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    port_ = PortOf(fd_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StubDns() {
    stopping_ = true;
    thread_.join();
    ::close(fd_);
  }

  // As QUILLON_DNS_SERVERS names it.
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }

 private:
  void Serve() {
    uint8_t packet[512];
    while (!stopping_) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t from_length = sizeof from;
      const ssize_t got = ::recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
      if (got < 12) continue;
      ++queries_;
      if (silent_) continue;
      std::vector<uint8_t> answer = Answer(packet, static_cast<size_t>(got));
      if (!answer.empty()) {
        ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
      }
    }
  }

  std::vector<uint8_t> Answer(const uint8_t* query, size_t length) const {
    std::string name;
    size_t at = 12;
    while (at < length && query[at] != 0) {
      const size_t label = query[at];
      if (at + 1 + label > length) return {};
      if (!name.empty()) name += '.';
      for (size_t i = 0; i < label; ++i) name += static_cast<char>(std::tolower(query[at + 1 + i]));
      at += 1 + label;
    }
    const size_t question_end = at + 5;  // root label, type, class
    if (question_end > length) return {};
    const uint16_t type = static_cast<uint16_t>(query[at + 1] << 8 | query[at + 2]);

    std::vector<uint8_t> reply(query, query + question_end);
    reply[2] = static_cast<uint8_t>(0x80 | (query[2] & 0x79));  // response, same opcode and RD
    reply[3] = 0x80;                                            // recursion available
    reply[4] = 0, reply[5] = 1;                                 // one question
    std::memset(&reply[6], 0, 6);
    const auto known = names_.find(name);
    if (known == names_.end()) {
      reply[3] |= 3;  // NXDOMAIN
      return reply;
    }
    if (type != 1) return reply;  // no data of that type
    reply[7] = 1;                 // one answer
    in_addr address{};
    ::inet_pton(AF_INET, known->second.c_str(), &address);
    const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    reply.insert(reply.end(), std::begin(record), std::end(record));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    reply.insert(reply.end(), bytes, bytes + 4);
    return reply;
  }

  std::map<std::string, std::string> names_;
  bool silent_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> queries_{0};
};

}  // namespace quillon::http_test
