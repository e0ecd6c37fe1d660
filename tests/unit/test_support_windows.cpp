// The unit tests' helpers on Windows: scratch folders under the user's
// temporary folder, and whole-file reads and writes by UTF-8 path.
#include <windows.h>

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace quillon::testing {
namespace {

std::filesystem::path PathOfUtf8(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

ScratchDir::ScratchDir() {
  std::mt19937_64 random(std::random_device{}());
  const std::filesystem::path temp = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = temp / ("quillon-test-" + std::to_string(random() % 1000000000));
    if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = std::move(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder");
}

ScratchDir::~ScratchDir() {
  // Windows refuses to delete a read-only file, and tests leave some behind.
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(PathOfUtf8(path), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(PathOfUtf8(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillon::testing
