// The Env of a POSIX system: files through descriptors with positioned reads and
// writes, so a file handle never carries a seek position that could go stale.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "core/env.h"
#include "core/path.h"

namespace quillon {
namespace {

bool IsFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ParentOf(const std::string& path) {
  std::string::size_type end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  std::string::size_type slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  std::string::size_type parent_end = path.find_last_not_of('/', slash);
  if (parent_end == std::string::npos) return "/";
  return path.substr(0, parent_end + 1);
}

// The one place that says which run-time error a failed file-system call is.
// ENOENT is ambiguous: it is the folder that is missing when the parent folder
// does not exist, otherwise the file itself.
int32_t RuntimeErrorOfErrno(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      return IsFolder(ParentOf(path)) ? rt::kFileNotFound : rt::kPathNotFound;
    case ENOTDIR:  // a component of the path is a file
    case ELOOP:
      return rt::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case ESPIPE:  // a pipe or socket: no byte positions to address
      return rt::kPathFileAccessError;
    case EBUSY:
    case EAGAIN:  // a mandatory lock held by another process
      return rt::kPermissionDenied;
    case ENAMETOOLONG:
    case EINVAL:
      return rt::kBadFileNameOrNumber;
    case ENOSPC:
    case EDQUOT:
      return rt::kDiskFull;
    case EMFILE:
    case ENFILE:
      return rt::kTooManyFiles;
    case ENOMEM:
      return rt::kOutOfMemory;
    default:
      return rt::kDeviceIOError;
  }
}

Status ErrnoStatus(int error, const std::string& path) {
  return Status::Error(RuntimeErrorOfErrno(error, path));
}

// The process's umask. umask() reads it only by setting it, which would race
// with other threads creating files, so the kernel's report comes first.
mode_t CurrentUmask() {
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// Whether a symbolic link may redirect a save: it belongs to this process's user
// or to the owner of the folder it sits in, or that folder is not one where
// anyone may plant a link (sticky and world-writable, as /tmp is).
bool LinkMayRedirect(const struct stat& link, const std::string& link_path) {
  if (link.st_uid == ::geteuid()) return true;
  struct stat folder;
  if (::stat(ParentOf(link_path).c_str(), &folder) != 0) return false;
  if (link.st_uid == folder.st_uid) return true;
  return (folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH);
}

// A name holding NUL would be cut short by the system call and name another file.
bool IsBadName(const std::string& path) {
  return path.empty() || path.find('\0') != std::string::npos;
}

bool OffsetFits(uint64_t offset, size_t length) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  return offset <= kMax && length <= kMax - offset;
}

class PosixFile final : public RandomAccessFile {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Status Read(uint64_t offset, std::span<uint8_t> out, size_t* read) override {
    *read = 0;
    if (!OffsetFits(offset, out.size())) return Status::Error(rt::kBadRecordNumber);
    while (*read < out.size()) {
      ssize_t n = ::pread(fd_, out.data() + *read, out.size() - *read,
                          static_cast<off_t>(offset + *read));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus(errno, path_);
      }
      if (n == 0) break;  // end of file
      *read += static_cast<size_t>(n);
    }
    return Status::Ok();
  }

  Status Write(uint64_t offset, std::span<const uint8_t> data) override {
    if (!OffsetFits(offset, data.size())) return Status::Error(rt::kBadRecordNumber);
    size_t written = 0;
    while (written < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + written, data.size() - written,
                           static_cast<off_t>(offset + written));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus(errno, path_);
      }
      // A write that moves nothing and reports no error would loop for ever.
      if (n == 0) return Status::Error(rt::kDeviceIOError);
      written += static_cast<size_t>(n);
    }
    return Status::Ok();
  }

  Status Size(uint64_t* size) override {
    struct stat info;
    if (::fstat(fd_, &info) != 0) return ErrnoStatus(errno, path_);
    *size = info.st_size < 0 ? 0 : static_cast<uint64_t>(info.st_size);
    return Status::Ok();
  }

  Status SetAccess(const FileAccess& access) override {
    // The owner first: a change of owner may clear mode bits.
    if (access.owner || access.group) {
      const uid_t owner = access.owner ? static_cast<uid_t>(*access.owner) : static_cast<uid_t>(-1);
      const gid_t group = access.group ? static_cast<gid_t>(*access.group) : static_cast<gid_t>(-1);
      if (::fchown(fd_, owner, group) != 0 && errno != EPERM && errno != EINVAL) return ErrnoStatus(errno, path_);
    }
    // A file system without modes of its own (FAT) refuses a change; the file
    // then has what that file system gives every file.
    if (::fchmod(fd_, static_cast<mode_t>(access.mode & 0777)) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
      return ErrnoStatus(errno, path_);
    }
    return Status::Ok();
  }

  Status Close() override {
    const int fd = fd_;
    fd_ = -1;
    // The descriptor is gone even when close fails (EINTR included), and a
    // failure may be the only report of a write that did not reach the disk.
    if (fd >= 0 && ::close(fd) != 0) return ErrnoStatus(errno, path_);
    return Status::Ok();
  }

 private:
  int fd_;
  std::string path_;
};

class PosixEnv final : public Env {
 public:
  Status OpenReadWrite(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return Open(path, O_RDWR | O_CREAT, file);
  }

  Status OpenRead(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return Open(path, O_RDONLY, file);
  }

  PathKind KindOf(const std::string& path) override {
    struct stat info;
    if (IsBadName(path) || ::stat(path.c_str(), &info) != 0) return PathKind::kMissing;
    if (S_ISREG(info.st_mode)) return PathKind::kFile;
    if (S_ISDIR(info.st_mode)) return PathKind::kDirectory;
    return PathKind::kOther;
  }

  bool IsLink(const std::string& path) override {
    struct stat info;
    return !IsBadName(path) && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  }

  Status MakeWritable(const std::string& path) override {
    if (IsBadName(path)) return Status::Error(rt::kBadFileNameOrNumber);
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return ErrnoStatus(errno, path);
    if (S_ISLNK(info.st_mode) || (info.st_mode & S_IWUSR) != 0) return Status::Ok();
    // Should a link take the file's place meanwhile, this fails rather than follow it.
    if (::fchmodat(AT_FDCWD, path.c_str(), (info.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0) {
      return ErrnoStatus(errno, path);
    }
    return Status::Ok();
  }

  Status RemoveFile(const std::string& path) override {
    if (IsBadName(path)) return Status::Error(rt::kBadFileNameOrNumber);
    if (::unlink(path.c_str()) != 0) return ErrnoStatus(errno, path);
    return Status::Ok();
  }

  Status GetModificationTime(const std::string& path, double* seconds) override {
    if (IsBadName(path)) return Status::Error(rt::kBadFileNameOrNumber);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return ErrnoStatus(errno, path);
    *seconds = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    return Status::Ok();
  }

  Status SetModificationTime(const std::string& path, int64_t seconds) override {
    if (IsBadName(path)) return Status::Error(rt::kBadFileNameOrNumber);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return ErrnoStatus(errno, path);
    return Status::Ok();
  }

  Status CreateExclusive(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return Open(path, O_RDWR | O_CREAT | O_EXCL, file, 0600);
  }

  Status Rename(const std::string& from, const std::string& to) override {
    if (IsBadName(from) || IsBadName(to)) return Status::Error(rt::kBadFileNameOrNumber);
    if (::rename(from.c_str(), to.c_str()) != 0) return ErrnoStatus(errno, to);
    return Status::Ok();
  }

  Status ResolveSaveTarget(const std::string& path, SaveTarget* target) override {
    if (IsBadName(path)) return Status::Error(rt::kBadFileNameOrNumber);
    std::string current = path;
    int links = 0;
    // Each name on the way is looked at in turn, from the start; a link found is
    // put in place of the names up to it, and the walk starts again on the new
    // path (which may hold links of its own). A name that cannot be looked at
    // ends the walk: the save then fails there as it would have.
    for (size_t end = 0; end <= current.size(); ++end) {
      if (end < current.size() && current[end] != '/') continue;
      if (end == 0 || current[end - 1] == '/') continue;  // no name ends here
      const std::string prefix = current.substr(0, end);
      struct stat info;
      if (::lstat(prefix.c_str(), &info) != 0) break;
      if (!S_ISLNK(info.st_mode)) continue;
      if (!LinkMayRedirect(info, prefix)) return Status::Error(rt::kPathFileAccessError);
      if (++links > 40) return ErrnoStatus(ELOOP, path);  // the kernel's own limit on link chains
      char named[PATH_MAX];
      const ssize_t length = ::readlink(prefix.c_str(), named, sizeof named - 1);
      if (length <= 0) return ErrnoStatus(length < 0 ? errno : ENOENT, path);
      std::string next(named, static_cast<size_t>(length));
      if (next[0] != '/') {
        next = FolderOf(prefix) + next;
      }
      current = next + current.substr(end);
      end = static_cast<size_t>(-1);  // the loop's step makes it 0
    }
    target->path = current;
    struct stat existing;
    if (::stat(current.c_str(), &existing) == 0) {
      target->access = FileAccess{existing.st_mode & 0777u, existing.st_uid, existing.st_gid};
    } else {
      target->access = FileAccess{0666u & ~static_cast<uint32_t>(CurrentUmask()), std::nullopt, std::nullopt};
    }
    return Status::Ok();
  }

  std::string ExecutableFolder() override {
    std::string buffer(PATH_MAX, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return ".";
    buffer.resize(static_cast<size_t>(n));
    return ParentOf(buffer);
  }

  double Now() override {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
  }

  MonotonicTime NowMonotonic() override { return std::chrono::steady_clock::now(); }

 private:
  static Status Open(const std::string& path, int flags, std::unique_ptr<RandomAccessFile>* file,
                     mode_t create_mode = 0666) {
    if (IsBadName(path)) return Status::Error(rt::kBadFileNameOrNumber);
    // O_NONBLOCK keeps a FIFO from stalling the server thread until a writer
    // comes; such a path is refused just below.
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, create_mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ErrnoStatus(errno, path);

    struct stat info;
    int error = 0;
    if (::fstat(fd, &info) != 0) {
      error = errno;
    } else if (S_ISDIR(info.st_mode)) {
      error = EISDIR;
    } else if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
      error = ESPIPE;
    } else {
      int status_flags = ::fcntl(fd, F_GETFL);
      if (status_flags >= 0) ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK);
    }
    if (error != 0) {
      ::close(fd);
      return ErrnoStatus(error, path);
    }
    *file = std::make_unique<PosixFile>(fd, path);
    return Status::Ok();
  }
};

}  // namespace

Env& DefaultEnv() {
  static PosixEnv env;
  return env;
}

}  // namespace quillon
