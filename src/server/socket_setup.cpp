#include "server/socket_setup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quillon::server {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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
  const std::string folder = FolderOf(socket_path);
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
