// The server. Its own io_context (the main thread) accepts, watches the idle
// time and signals, and shuts down; each client connection is served on a
// thread of its own, whose io_context runs that client's calls, events, timers
// and sockets one at a time, so nothing one client waits for delays another.
// It listens on a Unix socket, admits only peers of its own user, and ends on
// SIGTERM/SIGINT, on an `exit` request or after a spell with nobody connected.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>
#include <atomic>
#include <thread>
#include <unordered_map>

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include "platform/wait_interrupt.h"
#include "core/host.h"
#include "core/type_library.h"
#include "server/framing.h"
#include "server/logger.h"
#include "server/connection.h"
#include "server/socket_setup.h"
#include "server/spin_wait.h"
#include "server/variant_codec.h"

namespace quillon::server {

class Connection;

// At most this many clients are served at once; the next is refused and closed.
inline constexpr size_t kMaxConnections = 256;

struct ServerOptions {
  std::string socket_path;
  std::chrono::milliseconds idle_exit{0};  // 0: never
  std::chrono::milliseconds event_timeout{30000};
  size_t max_frame = kDefaultMaxFrame;
  std::string build_id = "unknown";  // see ComputeBuildId
  // A listening socket systemd handed over (see TakeActivatedSocket), or -1.
  // Its path and its folder are systemd's: the server neither locks, replaces
  // nor removes them, and socket_path only names the socket in the log.
  int activated_fd = -1;
  // The longest a client's thread looks for its next piece of work before it
  // sleeps (see spin_wait.h); 0: never.
  std::chrono::microseconds spin_limit{0};
};

class Server {
 public:
  Server(asio::io_context& loop, Host& host, const TypeLibrary& library, ServerOptions options, Logger& log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Takes the socket (folder, lock, stale file, listening socket), or the one
  // systemd handed over, and starts accepting. False with a message when it cannot.
  bool Listen(std::string* error);

  Host& host() { return host_; }
  const TypeLibrary& library() const { return library_; }
  const Json& library_json() const { return library_json_; }
  const ServerOptions& options() const { return options_; }
  const std::string& build_id() const { return options_.build_id; }
  Logger& log() { return log_; }
  // Clients connected now; any thread may ask.
  size_t connection_count() const { return connection_count_.load(); }

  // Called by a connection, on its thread, as it starts and as it closes.
  void OnConnectionOpened();
  void OnConnectionClosed();
  // Ends the server once the current handler has returned; any thread may ask.
  void RequestExit(std::string reason);

 private:
  bool ListenOnOwnSocket(std::string* error);
  void StartAccepting();
  void RemoveOwnSocketFile();
  void AcceptNext();
  void OnAccepted(std::error_code error, asio::local::stream_protocol::socket socket);
  void StartClient(asio::local::stream_protocol::socket socket, const PeerCredentials& peer);
  void OnClientThreadEnded(uint64_t id);
  void OnSignal(std::error_code error, int signal_number);
  void OnIdleExpired(std::error_code error);
  void ArmIdleTimer();
  void Shutdown(const std::string& reason);

  asio::io_context& loop_;
  Host& host_;
  const TypeLibrary& library_;
  const Json library_json_;
  const ServerOptions options_;
  Logger& log_;

  SocketLock lock_;
  asio::local::stream_protocol::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer idle_timer_;
  asio::steady_timer accept_retry_;
  // One client's thread: its event loop, what ends its blocking waits, and the
  // connection it serves. Made and ended on the main thread.
  struct ClientThread {
    explicit ClientThread(SpinSlots& slots, std::chrono::microseconds spin_limit) : spin(slots, spin_limit) {}
    asio::io_context loop{1};
    WaitInterrupt interrupt;
    SpinWait spin;
    std::shared_ptr<Connection> connection;
    std::thread thread;
  };
  SpinSlots spin_slots_{SpinSlots::DefaultCount()};
  std::unordered_map<uint64_t, std::unique_ptr<ClientThread>> clients_;
  std::atomic<size_t> connection_count_{0};
  uint64_t next_connection_id_ = 1;
  // The socket file this server bound, while it is there to remove. A file at
  // that path made since (a socket unit started meanwhile takes the path over)
  // is someone else's and stays; the inode alone cannot tell, since a file
  // system may give the new file the inode the old one freed, so the time of
  // its last change counts too.
  bool owns_socket_file_ = false;
  struct stat socket_file_ {};
  bool stopping_ = false;
};

}  // namespace quillon::server
