#include "server/socket_setup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/path.h"

namespace quillon::server {
namespace {

// The folder a socket path names, without its trailing separator.
std::string SocketFolder(const std::string& path) {
  std::string folder = FolderOf(path);
  if (folder.empty()) return ".";
  if (folder.size() > 1) folder.pop_back();
  return folder;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

}  // namespace

std::string DefaultSocketPath() {
  if (const char* path = std::getenv("QUILLON_SOCKET"); path != nullptr && *path != '\0') return path;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
    return std::string(runtime) + "/quillon/quillon.sock";
  }
  return "/tmp/quillon-" + std::to_string(geteuid()) + "/quillon.sock";
}

bool PrepareSocketFolder(const std::string& socket_path, std::string* error) {
  const std::string folder = SocketFolder(socket_path);
  if (::mkdir(folder.c_str(), 0700) == 0) {
    ::chmod(folder.c_str(), 0700);  // whatever the umask took away
  } else if (errno != EEXIST) {
    *error = Errno("cannot create the socket folder " + folder);
    return false;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    *error = Errno("cannot examine the socket folder " + folder);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = "the socket folder " + folder + " is not a folder";
    return false;
  }
  if (info.st_uid != geteuid() || (info.st_mode & 07777) != 0700) {
    *error = "refusing the socket folder " + folder + ": it must belong to uid " + std::to_string(geteuid()) +
             " with mode 0700 (it belongs to uid " + std::to_string(info.st_uid) + " with mode " +
             Octal(info.st_mode) + ")";
    return false;
  }
  return true;
}

SocketLock::~SocketLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool SocketLock::Acquire(const std::string& socket_path, std::string* error) {
  const std::string lock_path = socket_path + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = Errno("cannot open the lock file " + lock_path);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int failure = errno;
    char holder[32] = {};
    const ssize_t got = ::pread(fd, holder, sizeof holder - 1, 0);
    ::close(fd);
    if (failure != EWOULDBLOCK) {
      errno = failure;
      *error = Errno("cannot lock " + lock_path);
      return false;
    }
    std::string pid = got > 0 ? std::string(holder, static_cast<size_t>(got)) : "";
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    *error = "another quillon-server" + (pid.empty() ? std::string() : " (pid " + pid + ")") +
             " already serves " + socket_path;
    return false;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    // The pid is only a courtesy for the message above; the lock is what counts.
  }
  fd_ = fd;
  return true;
}

bool TakeActivatedSocket(int* fd, std::string* error) {
  *fd = -1;
  const char* pid_text = std::getenv("LISTEN_PID");
  const char* count_text = std::getenv("LISTEN_FDS");
  const std::string pid = pid_text != nullptr ? pid_text : "";
  const std::string count = count_text != nullptr ? count_text : "";
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  // Variables meant for another process (a parent that was activated itself)
  // are not ours to act on.
  if (pid.empty() || count.empty() || pid != std::to_string(getpid())) return true;
  char* end = nullptr;
  const long sockets = std::strtol(count.c_str(), &end, 10);
  if (*end != '\0' || sockets < 0) {
    *error = "LISTEN_FDS is not a count of sockets: " + count;
    return false;
  }
  if (sockets == 0) return true;
  if (sockets != 1) {
    *error = "systemd handed over " + count + " sockets; quillon-server serves one (one ListenStream= in the socket unit)";
    return false;
  }
  constexpr int kFirstHandedOver = 3;
  int type = 0;
  int accepting = 0;
  socklen_t type_size = sizeof type;
  socklen_t accepting_size = sizeof accepting;
  sockaddr_storage address{};
  socklen_t address_size = sizeof address;
  const bool usable =
      ::fcntl(kFirstHandedOver, F_SETFD, FD_CLOEXEC) == 0 &&
      ::getsockopt(kFirstHandedOver, SOL_SOCKET, SO_TYPE, &type, &type_size) == 0 &&
      ::getsockopt(kFirstHandedOver, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &accepting_size) == 0 &&
      ::getsockname(kFirstHandedOver, reinterpret_cast<sockaddr*>(&address), &address_size) == 0;
  if (!usable) {
    *error = Errno("the socket systemd handed over (fd 3) cannot be used");
    return false;
  }
  if (address.ss_family != AF_UNIX || type != SOCK_STREAM || accepting == 0) {
    *error = "the socket systemd handed over (fd 3) is not a listening Unix stream socket "
             "(ListenStream= with a path in the socket unit)";
    return false;
  }
  *fd = kFirstHandedOver;
  return true;
}

std::string BoundPath(int fd) {
  sockaddr_un address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.sun_family != AF_UNIX) return "";
  const size_t length = size > offsetof(sockaddr_un, sun_path) ? size - offsetof(sockaddr_un, sun_path) : 0;
  if (length == 0 || address.sun_path[0] == '\0') return "";
  return std::string(address.sun_path, strnlen(address.sun_path, length));
}

bool RemoveStaleSocket(const std::string& socket_path, std::string* error) {
  struct stat info {};
  if (::lstat(socket_path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    *error = Errno("cannot examine " + socket_path);
    return false;
  }
  if (!S_ISSOCK(info.st_mode)) {
    *error = socket_path + " exists and is not a socket; not removing it";
    return false;
  }
  if (::unlink(socket_path.c_str()) != 0 && errno != ENOENT) {
    *error = Errno("cannot remove the stale socket " + socket_path);
    return false;
  }
  return true;
}

std::string ComputeBuildId() {
  const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "unknown";
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t size = 0;
  std::vector<unsigned char> chunk(1 << 16);
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    crc = crc32(crc, chunk.data(), static_cast<uInt>(got));
    size += static_cast<uint64_t>(got);
  }
  ::close(fd);
  char id[48];
  std::snprintf(id, sizeof id, "%08lx-%llu", static_cast<unsigned long>(crc), static_cast<unsigned long long>(size));
  return id;
}

}  // namespace quillon::server
