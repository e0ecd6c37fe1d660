#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace quillon::testing {

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}

ScratchDir::ScratchDir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::mt19937_64 random(std::random_device{}() ^
                         static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("quillon-test-" + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all);
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no fresh folder could be made under " + Utf8Of(base));
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

#if defined(_WIN32)

namespace {

// A FILETIME counts 100 ns from 1601, 11,644,473,600 seconds before 1970.
constexpr int64_t kTicksBefore1970 = 116444736000000000;

FILETIME ToFileTime(FileTime time) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<uint64_t>(time.time_since_epoch().count() / 100 + kTicksBefore1970);
  return {ticks.LowPart, ticks.HighPart};
}

FileTime FromFileTime(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  return FileTime(std::chrono::nanoseconds((static_cast<int64_t>(ticks.QuadPart) - kTicksBefore1970) * 100));
}

}  // namespace

void SetModificationTime(const std::string& path, FileTime time) {
  const HANDLE file = CreateFileW(PathOf(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open " << path << " to set its time: error " << GetLastError();
    return;
  }
  const FILETIME modified = ToFileTime(time);
  if (!SetFileTime(file, nullptr, nullptr, &modified)) {
    ADD_FAILURE() << "cannot set the time of " << path << ": error " << GetLastError();
  }
  CloseHandle(file);
}

FileTimes TimesOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(PathOf(path).c_str(), GetFileExInfoStandard, &data)) {
    ADD_FAILURE() << "cannot read the times of " << path << ": error " << GetLastError();
    return {};
  }
  return {FromFileTime(data.ftLastWriteTime), FromFileTime(data.ftLastAccessTime)};
}

#else

namespace {

FileTime FromTimespec(const struct timespec& time) {
  return FileTime(std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec));
}

}  // namespace

void SetModificationTime(const std::string& path, FileTime time) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch());
  const auto fraction = time.time_since_epoch() - seconds;
  const struct timespec times[2] = {{0, UTIME_OMIT},
                                    {static_cast<time_t>(seconds.count()), static_cast<long>(fraction.count())}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) ADD_FAILURE() << "cannot set the time of " << path;
}

FileTimes TimesOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    ADD_FAILURE() << "cannot read the times of " << path;
    return {};
  }
  return {FromTimespec(info.st_mtim), FromTimespec(info.st_atim)};
}

#endif

bool MakeSymlink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  if (!error) return true;
#if !defined(_WIN32)
  ADD_FAILURE() << "cannot link " << link << " to " << target << ": " << error.message();
#endif
  return false;
}

}  // namespace quillon::testing
