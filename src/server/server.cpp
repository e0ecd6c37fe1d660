#include "server/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "core/memory.h"
#include "platform/process_memory.h"
#include "server/connection.h"
#include "server/protocol.h"

namespace quillon::server {
namespace {

constexpr int kListenBacklog = 64;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

bool ReadPeerCredentials(asio::local::stream_protocol::socket& socket, PeerCredentials* peer) {
  struct ucred credentials {};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  peer->pid = credentials.pid;
  peer->uid = credentials.uid;
  return true;
}

std::string Seconds(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

Server::Server(asio::io_context& loop, Host& host, const TypeLibrary& library, ServerOptions options,
               Logger& log)
    : loop_(loop),
      host_(host),
      library_(library),
      library_json_(TypeLibraryToJson(library)),
      options_(std::move(options)),
      log_(log),
      acceptor_(loop),
      signals_(loop, SIGTERM, SIGINT),
      idle_timer_(loop),
      accept_retry_(loop) {}

Server::~Server() = default;

bool Server::Listen(std::string* error) {
  if (options_.activated_fd < 0) return ListenOnOwnSocket(error);
  std::error_code failure;
  acceptor_.assign(asio::local::stream_protocol(), options_.activated_fd, failure);
  if (failure) {
    *error = "cannot accept on the socket systemd handed over: " + failure.message();
    return false;
  }
  log_.Line("listening on " + (options_.socket_path.empty() ? std::string("an unnamed socket") : options_.socket_path) +
            " from systemd (build " + build_id() + ")");
  StartAccepting();
  return true;
}

bool Server::ListenOnOwnSocket(std::string* error) {
  const std::string& path = options_.socket_path;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    *error = "the socket path is too long for a Unix socket (" + std::to_string(path.size()) + " bytes): " + path;
    return false;
  }
  if (!PrepareSocketFolder(path, error) || !lock_.Acquire(path, error) || !RemoveStaleSocket(path, error)) {
    return false;
  }
  std::error_code failure;
  acceptor_.open(asio::local::stream_protocol(), failure);
  if (!failure) {
    // The folder already keeps others out; 0600 on the socket says the same twice.
    const mode_t previous = ::umask(0177);
    acceptor_.bind(asio::local::stream_protocol::endpoint(path), failure);
    ::umask(previous);
  }
  if (!failure) acceptor_.listen(kListenBacklog, failure);
  if (failure) {
    *error = "cannot listen on " + path + ": " + failure.message();
    return false;
  }
  ::chmod(path.c_str(), 0600);
  owns_socket_file_ = ::lstat(path.c_str(), &socket_file_) == 0;
  log_.Line("listening on " + path + " (build " + build_id() + ")");
  StartAccepting();
  return true;
}

void Server::StartAccepting() {
  signals_.async_wait([this](std::error_code e, int number) { OnSignal(e, number); });
  AcceptNext();
  ArmIdleTimer();
}

void Server::RemoveOwnSocketFile() {
  if (!owns_socket_file_) return;
  owns_socket_file_ = false;
  struct stat now {};
  if (::lstat(options_.socket_path.c_str(), &now) != 0) return;
  if (now.st_dev != socket_file_.st_dev || now.st_ino != socket_file_.st_ino ||
      now.st_ctim.tv_sec != socket_file_.st_ctim.tv_sec || now.st_ctim.tv_nsec != socket_file_.st_ctim.tv_nsec) {
    log_.Line("leaving " + options_.socket_path + " in place: another socket has taken the path over");
    return;
  }
  ::unlink(options_.socket_path.c_str());
}

void Server::AcceptNext() {
  if (stopping_) return;
  acceptor_.async_accept(
      [this](std::error_code error, asio::local::stream_protocol::socket socket) { OnAccepted(error, std::move(socket)); });
}

void Server::OnAccepted(std::error_code error, asio::local::stream_protocol::socket socket) {
  if (stopping_ || error == asio::error::operation_aborted) return;
  if (error) {
    // Out of file descriptors and the like: try again shortly rather than spin.
    log_.Line("accept failed: " + error.message());
    accept_retry_.expires_after(kAcceptRetryDelay);
    accept_retry_.async_wait([this](std::error_code e) {
      if (!e) AcceptNext();
    });
    return;
  }
  PeerCredentials peer;
  if (!ReadPeerCredentials(socket, &peer) || peer.uid != geteuid()) {
    log_.Line("refused a connection from uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) +
              "): only uid " + std::to_string(geteuid()) + " may connect");
    std::error_code ignored;
    socket.close(ignored);
    AcceptNext();
    return;
  }
  if (clients_.size() >= kMaxConnections) {
    log_.Line("refused a connection from pid " + std::to_string(peer.pid) + ": " + std::to_string(clients_.size()) +
              " clients are connected, the most this server serves at once");
    std::error_code ignored;
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
    AcceptNext();
    return;
  }
  idle_timer_.cancel();
  StartClient(std::move(socket), peer);
  AcceptNext();
}

void Server::StartClient(asio::local::stream_protocol::socket socket, const PeerCredentials& peer) {
  auto client = std::make_unique<ClientThread>(spin_slots_, options_.spin_limit);
  // The socket moves to the client's own loop, where all its waits will run.
  std::error_code error;
  asio::local::stream_protocol::socket own(client->loop);
  own.assign(asio::local::stream_protocol(), socket.release(error), error);
  if (error) {
    log_.Line("cannot serve a connection from pid " + std::to_string(peer.pid) + ": " + error.message());
    return;
  }
  const uint64_t id = next_connection_id_++;
  client->connection =
      std::make_shared<Connection>(*this, client->loop, client->interrupt, client->spin, std::move(own), id, peer);
  ClientThread& started = *client;
  clients_[id] = std::move(client);
  started.thread = std::thread([this, &started, id] {
    started.connection->Start();
    RunLoop(started.loop, started.spin);  // until the connection has closed
    asio::post(loop_, [this, id] { OnClientThreadEnded(id); });
  });
}

void Server::OnConnectionOpened() { ++connection_count_; }

void Server::OnConnectionClosed() { --connection_count_; }

void Server::OnClientThreadEnded(uint64_t id) {
  const auto found = clients_.find(id);
  if (found == clients_.end()) return;  // joined by the shutdown already
  found->second->thread.join();
  clients_.erase(found);
  // With everyone gone, what a busy spell took goes back to the system rather
  // than staying with a server that may now idle for hours.
  if (clients_.empty()) ReturnFreeMemory();
  ArmIdleTimer();
}

void Server::ArmIdleTimer() {
  if (stopping_ || options_.idle_exit.count() == 0 || !clients_.empty()) return;
  idle_timer_.expires_after(options_.idle_exit);
  idle_timer_.async_wait([this](std::error_code error) { OnIdleExpired(error); });
}

void Server::OnIdleExpired(std::error_code error) {
  // A connection that arrived after the timer fired but before this ran counts.
  if (error || !clients_.empty()) return;
  Shutdown("nobody connected for " + Seconds(options_.idle_exit));
}

void Server::OnSignal(std::error_code error, int signal_number) {
  if (error) return;
  Shutdown(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
}

void Server::RequestExit(std::string reason) {
  asio::post(loop_, [this, reason = std::move(reason)] { Shutdown(reason); });
}

void Server::Shutdown(const std::string& reason) {
  if (stopping_) return;
  stopping_ = true;
  log_.Line("shutting down: " + reason);
  std::error_code ignored;
  acceptor_.close(ignored);
  signals_.cancel(ignored);
  idle_timer_.cancel();
  accept_retry_.cancel();
  // Each client's blocking waits end at once; then, on its own thread, it drops
  // every sink before any of its objects ends, so no event is raised on the way
  // out, and its thread ends.
  for (auto& [id, client] : clients_) {
    client->interrupt.Raise();
    asio::post(client->loop, [connection = client->connection] { connection->Close("server shutting down"); });
  }
  for (auto& [id, client] : clients_) client->thread.join();
  clients_.clear();
  RemoveOwnSocketFile();
}

}  // namespace quillon::server
