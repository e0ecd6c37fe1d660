// Env: every call the engines and classes make to the platform's file system
// and clocks goes through this interface, so tests can replace it and another
// platform supplies its own (platform/posix/posix_env.cpp here). Sockets, name
// lookups and the network state have siblings of their own in platform/.
// Failures come back as a Status carrying the run-time error number.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/status.h"

namespace quillon {

// A point on the clock that only moves forward, for deadlines and time-outs.
using MonotonicTime = std::chrono::steady_clock::time_point;

// What a file's replacement takes over from it: the permission bits (read, write
// and execute for owner, group and others) and, when a file was there, its owner
// and group.
struct FileAccess {
  uint32_t mode = 0;
  std::optional<uint32_t> owner;
  std::optional<uint32_t> group;
};

// Where a save puts its file, and the access the file gets there.
struct SaveTarget {
  std::string path;   // the path the save was given, with the links it may follow resolved
  FileAccess access;  // that of the file there now, else what a new file gets
};

// An open file, read and written at explicit byte offsets.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  // Reads up to `out.size()` bytes at `offset`; `*read` tells how many arrived
  // (fewer only at the end of the file).
  virtual Status Read(uint64_t offset, std::span<uint8_t> out, size_t* read) = 0;
  virtual Status Write(uint64_t offset, std::span<const uint8_t> data) = 0;
  virtual Status Size(uint64_t* size) = 0;
  // Gives the file these permission bits and, where the process may, this owner
  // and group (an owner or group it may not give is passed over silently).
  virtual Status SetAccess(const FileAccess& access) {
    (void)access;
    return Status::Ok();
  }
  // Closes the file. Some file systems (network ones, or one where a quota is
  // met) report a failed write only here, so a writer that must know the file
  // is whole checks this; the file takes no further calls. Destroying a file
  // closes it too, silently.
  virtual Status Close() { return Status::Ok(); }
};

enum class PathKind { kMissing, kFile, kDirectory, kOther };

class Env {
 public:
  virtual ~Env() = default;

  // Opens a file for reading and writing, creating it empty when missing.
  virtual Status OpenReadWrite(const std::string& path, std::unique_ptr<RandomAccessFile>* file) = 0;
  // Opens an existing file for reading.
  virtual Status OpenRead(const std::string& path, std::unique_ptr<RandomAccessFile>* file) = 0;

  // Creates a file that does not exist yet, for writing, readable and writable
  // by its owner only (0600); fails (without touching anything) when the name is
  // taken. A symbolic link at the path counts as taken, whatever it names.
  virtual Status CreateExclusive(const std::string& path, std::unique_ptr<RandomAccessFile>* file) = 0;
  // Moves a file to a new name, replacing a file there in one step.
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  // Where a save to `path` puts its file, so that it replaces the file a link
  // names rather than the link. A symbolic link (the last name or a folder on the
  // way) redirects a save only when it belongs to this process's user or to the
  // owner of the folder it sits in, or that folder is not both sticky and
  // world-writable: in a shared folder such as /tmp anyone may plant a link, and
  // the save must not write wherever it points. Such a link fails with 75 (path/
  // file access error), a chain of more than 40 links with 76. The access is that
  // of the file found at the end, else 0666 under the umask.
  virtual Status ResolveSaveTarget(const std::string& path, SaveTarget* target) = 0;
  // True when the path itself is a symbolic link, whether or not what it names
  // exists.
  virtual bool IsLink(const std::string& path) = 0;

  // What is at a path, a symbolic link counting as what it names; kMissing also
  // for a path that cannot be examined.
  virtual PathKind KindOf(const std::string& path) = 0;
  // Clears the read-only state of the file at the path itself (its owner may
  // write it again). A symbolic link is left as it is, and what it names is
  // never changed.
  virtual Status MakeWritable(const std::string& path) = 0;
  // Removes the name: a symbolic link is removed itself, never what it names.
  virtual Status RemoveFile(const std::string& path) = 0;

  // Modification time in seconds since 1970 UTC, with its fraction.
  virtual Status GetModificationTime(const std::string& path, double* seconds) = 0;
  // Sets the modification time to a whole second, leaving the access time alone.
  virtual Status SetModificationTime(const std::string& path, int64_t seconds) = 0;

  // The folder that holds the running executable, without a trailing separator.
  virtual std::string ExecutableFolder() = 0;

  // Wall-clock time in seconds since 1970 UTC.
  virtual double Now() = 0;
  // The monotonic clock that deadlines are measured on.
  virtual MonotonicTime NowMonotonic() = 0;

  // The path as the calls above take it, for a library that opens files by
  // name itself: an Env whose relative paths start elsewhere completes them.
  virtual std::string FullPath(const std::string& path) { return path; }
};

// Forwards every call to another Env: a test, or an Env that changes a few
// calls, overrides only those.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() { return target_; }

  Status OpenReadWrite(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return target_.OpenReadWrite(path, file);
  }
  Status OpenRead(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return target_.OpenRead(path, file);
  }
  Status CreateExclusive(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return target_.CreateExclusive(path, file);
  }
  Status Rename(const std::string& from, const std::string& to) override { return target_.Rename(from, to); }
  Status ResolveSaveTarget(const std::string& path, SaveTarget* target) override {
    return target_.ResolveSaveTarget(path, target);
  }
  bool IsLink(const std::string& path) override { return target_.IsLink(path); }
  PathKind KindOf(const std::string& path) override { return target_.KindOf(path); }
  Status MakeWritable(const std::string& path) override { return target_.MakeWritable(path); }
  Status RemoveFile(const std::string& path) override { return target_.RemoveFile(path); }
  Status GetModificationTime(const std::string& path, double* seconds) override {
    return target_.GetModificationTime(path, seconds);
  }
  Status SetModificationTime(const std::string& path, int64_t seconds) override {
    return target_.SetModificationTime(path, seconds);
  }
  std::string ExecutableFolder() override { return target_.ExecutableFolder(); }
  double Now() override { return target_.Now(); }
  MonotonicTime NowMonotonic() override { return target_.NowMonotonic(); }
  std::string FullPath(const std::string& path) override { return target_.FullPath(path); }

 private:
  Env& target_;
};

// The process's real file system and clocks, defined by the platform the
// program is built for.
Env& DefaultEnv();

}  // namespace quillon
