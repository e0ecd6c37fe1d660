// IPv4 address text as inet_addr reads it, the same on every platform: dotted forms with one
// to four parts (127.1 is 127.0.0.1), each part decimal, octal (leading 0) or
// hexadecimal (0x), and anything after a blank ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillon {

// The address as a number (most significant byte first in the text), or nothing
// when the text is not an address. 255.255.255.255 counts as not an address:
// inet_addr cannot tell it from its failure value. The text ends at its first
// NUL, as it does for the C function.
std::optional<uint32_t> ParseIPv4Text(std::u16string_view text);

}  // namespace quillon
