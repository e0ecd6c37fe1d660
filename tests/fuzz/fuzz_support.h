// What the fuzz targets share: a reader that deals an input out as the values
// a target needs, and a check that turns a broken promise into a crash the
// fuzzer keeps (the sanitizers take care of memory and undefined behaviour).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition);     \
      std::abort();                                                                            \
    }                                                                                          \
  } while (false)

namespace quillon::fuzz {

// Deals an input out front to back; once it runs dry every value is zero, so a
// short input is still a valid one.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : rest_(data, size) {}

  uint8_t Byte() {
    if (rest_.empty()) return 0;
    const uint8_t byte = rest_.front();
    rest_ = rest_.subspan(1);
    return byte;
  }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() { return uint32_t{U16()} | uint32_t{U16()} << 16; }
  bool Bit() { return (Byte() & 1) != 0; }

  // Up to `count` bytes.
  std::span<const uint8_t> Take(size_t count) {
    const std::span<const uint8_t> taken = rest_.first(count < rest_.size() ? count : rest_.size());
    rest_ = rest_.subspan(taken.size());
    return taken;
  }
  // A piece whose length comes from the input itself (at most `limit`).
  std::span<const uint8_t> Piece(size_t limit) { return Take(limit == 0 ? 0 : Byte() % (limit + 1)); }
  std::span<const uint8_t> Rest() { return Take(rest_.size()); }
  size_t left() const { return rest_.size(); }

 private:
  std::span<const uint8_t> rest_;
};

inline std::string_view Chars(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Text as 16-bit code units, two bytes each (little-endian), so any unit,
// surrogates included, can turn up.
inline std::u16string Units(std::span<const uint8_t> bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return text;
}

}  // namespace quillon::fuzz
