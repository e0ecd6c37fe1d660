// Base64 (RFC 4648, with padding), for byte data on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::server {

std::string Base64Encode(std::span<const uint8_t> bytes);
// Nothing for text that is not canonical padded base64.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

}  // namespace quillon::server
