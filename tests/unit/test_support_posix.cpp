#include "test_support_posix.h"

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::testing {

namespace {

// Runs `body` in a forked child after `prepare` (which returns false when the
// child cannot be set up, exit 200); the child's exit status, or -1 when it
// did not exit by itself.
int RunInChild(const std::function<bool()>& prepare, const std::function<int()>& body) {
  constexpr int kCannotPrepare = 200;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (!prepare()) _exit(kCannotPrepare);
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

}  // namespace

std::optional<int> RunUnprivileged(const std::function<int()>& body, std::string* why) {
  constexpr uid_t kNobody = 65534;
  if (geteuid() != 0) return body();  // file modes already bind this process
  const int status = RunInChild(
      [] {
        return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
               setresuid(kNobody, kNobody, kNobody) == 0;
      },
      body);
  if (status < 0) {
    *why = "the unprivileged child did not finish";
    return std::nullopt;
  }
  if (status == 200) {
    *why = "cannot switch to the user nobody (no privilege to change user ids)";
    return std::nullopt;
  }
  return status;
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
  return RunInChild(
      [bytes] {
        alarm(30);
        const struct rlimit limit = {bytes, bytes};
        setrlimit(RLIMIT_AS, &limit);
        return true;
      },
      body);
}

}  // namespace quillon::testing
