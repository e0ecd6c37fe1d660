#include "server/json_writer.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/text.h"

namespace quillon::server {
namespace {

using Json = nlohmann::json;

std::string LibraryDump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// True when none of eight bytes needs an escape in a JSON string: no control
// character, no '"' and no '\\' (the zero-byte test of a word, applied to each).
bool NeedsNoEscape(uint64_t bytes) {
  constexpr uint64_t kOnes = 0x0101'0101'0101'0101;
  constexpr uint64_t kHighs = 0x8080'8080'8080'8080;
  const auto any_below = [](uint64_t v, uint64_t n) { return (v - kOnes * n) & ~v & kHighs; };
  return (any_below(bytes, 0x20) | any_below(bytes ^ (kOnes * '"'), 1) | any_below(bytes ^ (kOnes * '\\'), 1)) == 0;
}

void WriteString(std::string_view text, std::string& out) {
  // The library's replacement rules for malformed text are its own; such text
  // is rare and short (a client's bad name in an error message), so it goes there.
  if (!IsValidUtf8(text)) {
    out += LibraryDump(Json(std::string(text)));
    return;
  }
  // Room for the quotes, some escapes and what closes the message after it: a
  // long string is the bulk of its message, and growing past it would copy it.
  out.reserve(out.size() + text.size() + text.size() / 16 + 64);
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Long strings are whole files: plain bytes are skipped eight at a time.
    for (uint64_t word; i + sizeof word <= text.size(); i += sizeof word) {
      std::memcpy(&word, text.data() + i, sizeof word);
      if (!NeedsNoEscape(word)) break;
    }
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        out += escape;
      }
    }
  }
  out.append(text.substr(run));
  out += '"';
}

// Integers in decimal, as the library writes them, without the serializer the
// library sets up (and the locale it asks for) for every value: every message
// has a few, its id and its variants' types.
template <typename Integer>
void WriteInteger(Integer number, std::string& out) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, written.ptr);
}

void Write(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::object: {
      out += '{';
      const char* separator = "";
      for (const auto& [key, item] : value.items()) {
        out += separator;
        WriteString(key, out);
        out += ':';
        Write(item, out);
        separator = ",";
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      const char* separator = "";
      for (const Json& item : value) {
        out += separator;
        Write(item, out);
        separator = ",";
      }
      out += ']';
      return;
    }
    case Json::value_t::string:
      WriteString(value.get_ref<const std::string&>(), out);
      return;
    case Json::value_t::number_integer:
      WriteInteger(value.get<int64_t>(), out);
      return;
    case Json::value_t::number_unsigned:
      WriteInteger(value.get<uint64_t>(), out);
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::null:
      out += "null";
      return;
    default:
      // Floating-point numbers exactly as the library writes them.
      out += LibraryDump(value);
      return;
  }
}

}  // namespace

std::string DumpJson(const Json& value) {
  std::string out;
  Write(value, out);
  return out;
}

std::string DumpResponse(const Json& id, const Json& result) {
  std::string out = "{\"id\":";
  Write(id, out);
  out += ",\"jsonrpc\":\"2.0\",\"result\":";
  Write(result, out);
  out += '}';
  return out;
}

}  // namespace quillon::server
