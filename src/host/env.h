// Env: every call this system makes to the platform's file system and clock goes
// through this interface, so tests can replace it and another platform can supply
// its own. Failures come back as a Status carrying the run-time error number.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "host/status.h"

namespace quillon {

// An open file, read and written at explicit byte offsets.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  // Reads up to `out.size()` bytes at `offset`; `*read` tells how many arrived
  // (fewer only at the end of the file).
  virtual Status Read(uint64_t offset, std::span<uint8_t> out, size_t* read) = 0;
  virtual Status Write(uint64_t offset, std::span<const uint8_t> data) = 0;
  virtual Status Size(uint64_t* size) = 0;
};

enum class PathKind { kMissing, kFile, kDirectory, kOther };

class Env {
 public:
  virtual ~Env() = default;

  // Opens a file for reading and writing, creating it empty when missing.
  virtual Status OpenReadWrite(const std::string& path, std::unique_ptr<RandomAccessFile>* file) = 0;
  // Opens an existing file for reading.
  virtual Status OpenRead(const std::string& path, std::unique_ptr<RandomAccessFile>* file) = 0;

  // Creates a file that does not exist yet, for writing, mode 0666 under the
  // umask; fails (without touching anything) when the name is taken.
  virtual Status CreateExclusive(const std::string& path, std::unique_ptr<RandomAccessFile>* file) = 0;
  // Moves a file to a new name, replacing a file there in one step.
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  // Where a symbolic link at `path` finally leads (the path itself when it is
  // none), so that a save replaces the file the link names, not the link.
  virtual std::string FollowLinks(const std::string& path) = 0;

  // What is at a path; kMissing also for a path that cannot be examined.
  virtual PathKind KindOf(const std::string& path) = 0;
  // Clears the read-only state of a file (the owner may write it again).
  virtual Status MakeWritable(const std::string& path) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;

  // Modification time in seconds since 1970 UTC, with its fraction.
  virtual Status GetModificationTime(const std::string& path, double* seconds) = 0;
  // Sets the modification time to a whole second, leaving the access time alone.
  virtual Status SetModificationTime(const std::string& path, int64_t seconds) = 0;

  // The folder that holds the running executable, without a trailing separator.
  virtual std::string ExecutableFolder() = 0;

  // Wall-clock time in seconds since 1970 UTC.
  virtual double Now() = 0;
};

// The process's real file system and clock.
Env& DefaultEnv();

}  // namespace quillon
