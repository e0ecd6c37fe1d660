// Messages as JSON text, written as nlohmann's dump(-1, ' ', false, replace)
// writes them (compact, UTF-8 as it is, a malformed sequence as U+FFFD), but
// with long strings copied in runs between the characters that need escaping.
// A store, a byte array or a downloaded file travels as one string, and the
// library's character-at-a-time escaping was most of the cost of such a reply.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quillon::server {

std::string DumpJson(const nlohmann::json& value);

// The text of Response(id, result) (keys in the library's order), written
// without building the response first: every call's answer is one.
std::string DumpResponse(const nlohmann::json& id, const nlohmann::json& result);

}  // namespace quillon::server
