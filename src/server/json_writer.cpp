#include "server/json_writer.h"

#include <cstdio>
#include <string_view>

#include "host/text.h"

namespace quillon::server {
namespace {

using Json = nlohmann::json;

std::string LibraryDump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

void WriteString(std::string_view text, std::string& out) {
  // The library's replacement rules for malformed text are its own; such text
  // is rare and short (a client's bad name in an error message), so it goes there.
  if (!IsValidUtf8(text)) {
    out += LibraryDump(Json(std::string(text)));
    return;
  }
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
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
    default:
      // Numbers, booleans and null exactly as the library writes them.
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

}  // namespace quillon::server
