#include "cli/progress.h"

#include <cmath>

#include "cli/http_url.h"

namespace quillon::cli {
namespace {

std::string Printf(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

}  // namespace

std::string FormatBytes(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  // Three significant digits are enough to watch a number grow.
  return Printf(value < 10 ? "%.2f" : value < 100 ? "%.1f" : "%.0f", value) + " " + kUnits[unit];
}

std::string FormatRate(int64_t bytes, double seconds) {
  if (seconds <= 0.0) return "-";
  return FormatBytes(static_cast<int64_t>(std::llround(static_cast<double>(bytes) / seconds))) + "/s";
}

std::string FormatElapsed(double seconds) {
  if (seconds < 60) return Printf("%.1f", seconds) + " s";
  const int64_t whole = static_cast<int64_t>(seconds);
  char buffer[48];
  if (whole < 3600) {
    std::snprintf(buffer, sizeof buffer, "%d:%02d", static_cast<int>(whole / 60), static_cast<int>(whole % 60));
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02d:%02d", static_cast<long long>(whole / 3600),
                  static_cast<int>(whole / 60 % 60), static_cast<int>(whole % 60));
  }
  return buffer;
}

std::optional<int64_t> ContentLength(std::string_view header) {
  const std::optional<std::string> value = HeaderField(header, "Content-Length");
  if (!value || value->empty() || value->size() > 18) return std::nullopt;
  int64_t length = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + (c - '0');
  }
  return length;
}

std::string ProgressBar(const Progress& progress, int width) {
  std::string figures = FormatBytes(progress.bytes);
  if (progress.total) figures += " of " + FormatBytes(*progress.total);
  figures += "  " + FormatRate(progress.bytes, progress.seconds) + "  " + FormatElapsed(progress.seconds);
  if (!progress.total || *progress.total <= 0) return figures.substr(0, static_cast<size_t>(std::max(width, 0)));

  const double fraction = std::min(1.0, static_cast<double>(progress.bytes) / static_cast<double>(*progress.total));
  const std::string percent = Printf("%3.0f%%", std::floor(fraction * 100));
  const std::string tail = " " + percent + "  " + figures;
  const int bar_width = width - static_cast<int>(tail.size()) - 2;
  if (bar_width < 10) return (percent + "  " + figures).substr(0, static_cast<size_t>(std::max(width, 0)));
  const int filled = static_cast<int>(fraction * bar_width);
  std::string bar = "[";
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(bar_width - filled), '.');
  return bar + "]" + tail;
}

std::string ProgressLine(const Progress& progress) {
  std::string line = "received " + FormatBytes(progress.bytes) + " (" + std::to_string(progress.bytes) + " bytes)";
  if (progress.total && *progress.total > 0) {
    line += " of " + FormatBytes(*progress.total) +
            Printf(" (%.0f%%)",
                   std::floor(100.0 * static_cast<double>(progress.bytes) / static_cast<double>(*progress.total)));
  }
  return line + " in " + FormatElapsed(progress.seconds) + ", " + FormatRate(progress.bytes, progress.seconds);
}

ProgressMeter::ProgressMeter(std::FILE* out, bool terminal, int width)
    : out_(out), terminal_(terminal), width_(width) {}

ProgressMeter::Clock::duration ProgressMeter::interval() const {
  return terminal_ ? std::chrono::milliseconds(100) : std::chrono::seconds(1);
}

void ProgressMeter::Update(const Progress& progress) {
  if (terminal_) {
    // Padded to the full width, so that a shorter line wipes a longer one.
    std::string line = ProgressBar(progress, width_ - 1);
    line.resize(static_cast<size_t>(std::max(width_ - 1, 0)), ' ');
    std::fprintf(out_, "\r%s", line.c_str());
    line_open_ = true;
  } else {
    std::fprintf(out_, "%s\n", ProgressLine(progress).c_str());
  }
  std::fflush(out_);
}

void ProgressMeter::Finish(const Progress& progress) {
  if (terminal_) {
    Update(progress);
    Break();
  } else {
    std::fprintf(out_, "%s\n", ProgressLine(progress).c_str());
    std::fflush(out_);
  }
}

void ProgressMeter::Break() {
  if (!line_open_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  line_open_ = false;
}

}  // namespace quillon::cli
