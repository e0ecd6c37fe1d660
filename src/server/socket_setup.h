// Where the server listens and how it makes sure it alone serves that socket and
// only its user reaches it.
#pragma once

#include <string>

namespace quillon::server {

// $QUILLON_SOCKET, else $XDG_RUNTIME_DIR/quillon/quillon.sock, else
// /tmp/quillon-UID/quillon.sock.
std::string DefaultSocketPath();

// The socket's folder must be ours with mode 0700: it is what keeps other users
// out, since the server reads and writes files as its user. A missing folder is
// created so; an existing one that is not so is refused, not repaired, since
// it may be a folder the user shares on purpose.
bool PrepareSocketFolder(const std::string& socket_path, std::string* error);

// The lock that makes one server per socket: flock on SOCKET.lock. The file is
// never removed, so two servers cannot each lock a different file of that name.
class SocketLock {
 public:
  SocketLock() = default;
  ~SocketLock();
  SocketLock(const SocketLock&) = delete;
  SocketLock& operator=(const SocketLock&) = delete;

  // False, with a message naming the socket (and the holder's pid when known),
  // when another server holds it.
  bool Acquire(const std::string& socket_path, std::string* error);

 private:
  int fd_ = -1;
};

// A listening socket handed over by systemd (socket activation): LISTEN_PID
// names this process and LISTEN_FDS counts the sockets passed from fd 3 on.
// LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES are removed from the environment
// whatever they say, so that nothing this process starts takes them for its own.
// True with *fd -1 when nothing was handed over; true with *fd the socket (now
// close-on-exec); false with a message when what was handed over is not exactly
// one listening Unix stream socket.
bool TakeActivatedSocket(int* fd, std::string* error);

// The path a Unix socket is bound to; "" for an unnamed or abstract one.
std::string BoundPath(int fd);

// Removes a socket file left by a server that died; refuses to remove anything
// that is not a socket. Only the lock holder may call it.
bool RemoveStaleSocket(const std::string& socket_path, std::string* error);

// CRC-32 and size of the running executable, "xxxxxxxx-N": two builds differ,
// and a client can compute it from the binary it would start.
std::string ComputeBuildId();

}  // namespace quillon::server
