#include "server/logger.h"

#include <unistd.h>

#include <chrono>
#include <ctime>

namespace quillon::server {

Logger::~Logger() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Logger::OpenFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "ae");
  if (file == nullptr) return false;
  const std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  return true;
}

void Logger::Line(std::string_view text) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  const std::lock_guard<std::mutex> lock(mutex_);
  std::FILE* out = file_ != nullptr ? file_ : stderr;
  std::fprintf(out, "%s.%03dZ quillon-server[%d] %.*s\n", stamp, static_cast<int>(millis),
               static_cast<int>(getpid()), static_cast<int>(text.size()), text.data());
  std::fflush(out);
}

}  // namespace quillon::server
