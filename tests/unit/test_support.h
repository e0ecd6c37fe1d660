// Helpers shared by the unit tests: scratch folders and file contents.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
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

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside, as the Env takes paths: UTF-8, with '/' between
  // the names (which Windows takes too).
  std::string File(const std::string& name) const { return (path_ / name).generic_string(); }

 private:
  std::filesystem::path path_;
};

// Whole-file reads and writes, by a UTF-8 path.
std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes);

// Runs `body` in a child process as the unprivileged user nobody, so that file
// modes bind it even when the tests run as root; the body's result (0 to 198,
// 199 when it throws) is the child's exit code. Returns nothing, with the reason
// in `why`, when the privileges cannot be dropped.
std::optional<int> RunUnprivileged(const std::function<int()>& body, std::string* why);

// Runs `body` in a child process whose address space is limited to `bytes`, so
// that an allocation the code must never make fails there even on a machine
// with the memory to spare. The body's result (0 to 198, 199 when it throws) is
// the child's exit code; -1 when it crashed or ran past 30 seconds. Returns
// nothing, with the reason in `why`, under AddressSanitizer, whose shadow
// memory reserves terabytes of address space.
std::optional<int> RunWithAddressSpaceLimit(size_t bytes, const std::function<int()>& body, std::string* why);

}  // namespace quillon::testing
