// Test helpers that only POSIX systems can offer: a child process without
// privileges, or with a limited address space.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace quillon::testing {

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
