#include "test_support.h"

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quillon::testing {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillon-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::optional<int> RunUnprivileged(const std::function<int()>& body, std::string* why) {
  constexpr uid_t kNobody = 65534;
  constexpr int kCannotDrop = 200;
  if (geteuid() != 0) return body();  // file modes already bind this process
  pid_t child = fork();
  if (child < 0) {
    *why = "fork failed";
    return std::nullopt;
  }
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(kCannotDrop);
    }
    int result = 199;
    try {
      result = body();
    } catch (...) {
    }
    _exit(result);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    *why = "the unprivileged child did not finish";
    return std::nullopt;
  }
  if (WEXITSTATUS(status) == kCannotDrop) {
    *why = "cannot switch to the user nobody (no privilege to change user ids)";
    return std::nullopt;
  }
  return WEXITSTATUS(status);
}

std::optional<int> RunWithAddressSpaceLimit(size_t bytes, const std::function<int()>& body, std::string* why) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  constexpr bool kAddressSanitizer = true;
#else
  constexpr bool kAddressSanitizer = false;
#endif
#else
  constexpr bool kAddressSanitizer = false;
#endif
  if (kAddressSanitizer) {
    *why = "an address-space limit cannot work under AddressSanitizer, whose shadow memory reserves terabytes";
    return std::nullopt;
  }
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    alarm(30);
    const struct rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    int result = 199;
    try {
      result = body();
    } catch (...) {
    }
    _exit(result);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace quillon::testing
