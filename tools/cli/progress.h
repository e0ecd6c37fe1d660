// Download progress for people: a bar redrawn in place on a terminal, plain
// lines once a second anywhere else (a log must not fill up with redraws).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::cli {

std::string FormatBytes(int64_t bytes);                 // "512 B", "1.5 KiB", "12.3 MiB"
std::string FormatRate(int64_t bytes, double seconds);  // "340 KiB/s"; "-" before any time has passed
std::string FormatElapsed(double seconds);              // "0.4 s", "2:05", "1:02:03"

// The Content-Length a reply header states, when it states a usable one.
std::optional<int64_t> ContentLength(std::string_view header);

struct Progress {
  int64_t bytes = 0;
  std::optional<int64_t> total;
  double seconds = 0;
};

// The terminal line, at most `width` columns: a bar and percentage when the
// total is known, then size, rate and elapsed time.
std::string ProgressBar(const Progress& progress, int width);
// The log line: "received 1.2 MiB (1234567 bytes) in 3.0 s, 410 KiB/s".
std::string ProgressLine(const Progress& progress);

class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // `terminal`: `out` is a terminal `width` columns wide.
  ProgressMeter(std::FILE* out, bool terminal, int width);

  // How often Update wants to be called.
  Clock::duration interval() const;
  void Update(const Progress& progress);
  // The last word: the final bar ends its line, or the summary line is written.
  void Finish(const Progress& progress);
  // Ends a bar line in progress, so that a message can follow on a line of its own.
  void Break();

 private:
  std::FILE* out_;
  bool terminal_;
  int width_;
  bool line_open_ = false;
};

}  // namespace quillon::cli
