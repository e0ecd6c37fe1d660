// The server's log: one line per event worth keeping, to stderr or a file.
// Lines come from every client's thread; each is written whole.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace quillon::server {

class Logger {
 public:
  Logger() = default;  // stderr
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends to `path` from now on; false (with errno set) when it cannot be opened.
  bool OpenFile(const std::string& path);
  void Line(std::string_view text);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace quillon::server
