#include "cli/http_url.h"

#include <cctype>

#include "core/text.h"

namespace quillon::cli {
namespace {


int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<HttpTarget> ParseHttpUrl(std::string_view url, std::string* why) {
  auto fail = [why](std::string reason) -> std::optional<HttpTarget> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  if (StartsWithIgnoreCase(url, "http://")) {
    url.remove_prefix(7);
  } else if (const size_t scheme = url.find("://"); scheme != std::string_view::npos) {
    return fail("only http:// URLs can be downloaded, not " + std::string(url.substr(0, scheme)) + "://");
  }
  if (const size_t fragment = url.find('#'); fragment != std::string_view::npos) url = url.substr(0, fragment);

  const size_t path_start = url.find_first_of("/?");
  std::string_view authority = url.substr(0, path_start);
  HttpTarget target;
  target.path = path_start == std::string_view::npos ? "/" : std::string(url.substr(path_start));
  if (target.path.front() == '?') target.path.insert(target.path.begin(), '/');

  if (authority.find('@') != std::string_view::npos) return fail("user names and passwords in URLs are not supported");
  if (!authority.empty() && authority.front() == '[')
    return fail("IPv6 addresses are not supported; use an IPv4 address or a name");
  if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    uint32_t port = 0;
    bool valid = !digits.empty() && digits.size() <= 5;
    for (char c : digits) {
      if (!valid) break;
      valid = c >= '0' && c <= '9';
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!valid || port == 0 || port > 65535) return fail("the port must be a number from 1 to 65535");
    target.port = static_cast<uint16_t>(port);
    authority = authority.substr(0, colon);
  }
  if (authority.empty()) return fail("the URL names no server");
  target.host = std::string(authority);
  return target;
}

std::string DefaultFileName(std::string_view path) {
  if (const size_t query = path.find('?'); query != std::string_view::npos) path = path.substr(0, query);
  const size_t slash = path.rfind('/');
  const std::string_view segment = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string name;
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == '%' && i + 2 < segment.size() && HexValue(segment[i + 1]) >= 0 && HexValue(segment[i + 2]) >= 0) {
      name.push_back(static_cast<char>(HexValue(segment[i + 1]) * 16 + HexValue(segment[i + 2])));
      i += 2;
    } else {
      name.push_back(segment[i]);
    }
  }
  // A decoded name must still be one plain name in the current folder.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return "index.html";
  }
  return name;
}

std::string TargetUrl(const HttpTarget& target) {
  std::string url = "http://" + target.host;
  if (target.port != 80) {
    url += ':';
    url += std::to_string(target.port);
  }
  url += target.path;
  return url;
}

std::optional<std::string> HeaderField(std::string_view header, std::string_view name) {
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(start, end - start);
    start = end + 1;
    if (line.size() <= name.size() || line[name.size()] != ':' || !StartsWithIgnoreCase(line, name)) continue;
    std::string_view value = line.substr(name.size() + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
      value.remove_suffix(1);
    }
    return std::string(value);
  }
  return std::nullopt;
}

std::optional<HttpTarget> ResolveRedirect(const HttpTarget& from, std::string_view location, std::string* why) {
  if (location.empty()) {
    if (why != nullptr) *why = "the redirect names no new location";
    return std::nullopt;
  }
  if (location.starts_with("//")) return ParseHttpUrl("http:" + std::string(location), why);
  const size_t scheme = location.find("://");
  if (scheme != std::string_view::npos && location.find_first_of("/?#") > scheme) return ParseHttpUrl(location, why);

  HttpTarget target = from;
  if (const size_t fragment = location.find('#'); fragment != std::string_view::npos) {
    location = location.substr(0, fragment);
  }
  if (location.starts_with("/")) {
    target.path = std::string(location);
  } else {
    const std::string_view base = std::string_view(from.path).substr(0, from.path.find('?'));
    target.path = std::string(base.substr(0, base.rfind('/') + 1)) + std::string(location);
  }
  return target;
}

}  // namespace quillon::cli
