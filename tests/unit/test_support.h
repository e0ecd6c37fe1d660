// Helpers shared by the unit tests: scratch folders, file contents, file times
// and links. They build on every platform; tests/unit/test_support_posix.h has
// the ones that only POSIX systems can offer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/env.h"

namespace quillon::testing {

// The process's Env whose monotonic clock moves `step` further each time it is
// read, so a time limit of the code under test passes after a few readings
// while its real waits stay short.
class SteppingClockEnv : public EnvWrapper {
 public:
  explicit SteppingClockEnv(std::chrono::milliseconds step) : EnvWrapper(DefaultEnv()), step_(step) {}
  MonotonicTime NowMonotonic() override { return now_ += step_; }

 private:
  const std::chrono::milliseconds step_;
  MonotonicTime now_ = DefaultEnv().NowMonotonic();
};

// A UTF-8 path (as the tests write them and the classes take them) and back.
std::filesystem::path PathOf(const std::string& utf8);
std::string Utf8Of(const std::filesystem::path& path);

// A fresh folder under the system's temporary folder, open to its owner only,
// removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The UTF-8 path of `name` (which may hold '/') inside the folder, with the
  // system's own separators.
  std::string File(const std::string& name) const { return Utf8Of((path_ / PathOf(name)).make_preferred()); }

 private:
  std::filesystem::path path_;
};

// Whole-file reads and writes, by a UTF-8 path.
std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes);

// A point in time to the nanosecond, counted from 1970 UTC.
using FileTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// Sets a file's modification time as finely as its file system keeps it,
// leaving the access time alone; fails the test when it cannot.
void SetModificationTime(const std::string& path, FileTime time);

struct FileTimes {
  FileTime modified;
  FileTime accessed;
};
// Both times of a file; fails the test when they cannot be read.
FileTimes TimesOf(const std::string& path);

// Makes a symbolic link at `link` that names `target`. False when this build
// cannot make links (the mingw C++ library has none, and Windows keeps them for
// privileged accounts): the caller leaves out what needs the link. Anywhere
// else a failure also fails the test.
bool MakeSymlink(const std::filesystem::path& target, const std::filesystem::path& link);

}  // namespace quillon::testing
