// What `quillon get` makes of its URL: the Downloader takes a server, a port and
// a path separately, and the file is saved under a name taken from the path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::cli {

struct HttpTarget {
  std::string host;  // as it goes to RequestFile, and so to the Host line
  uint16_t port = 80;
  std::string path;  // from the first "/", query included, fragment dropped
};

// Reads "http://host[:port][/path]" (the scheme may be left out). Nothing, with
// the reason in `why`, for another scheme, a user name, an IPv6 literal, a bad
// port or an empty host.
std::optional<HttpTarget> ParseHttpUrl(std::string_view url, std::string* why);

// The file name a download is saved under when none is given: the path's last
// segment, %-escapes decoded; "index.html" when that leaves no usable name.
std::string DefaultFileName(std::string_view path);

// The target as a URL again, for messages: "http://host[:port]/path".
std::string TargetUrl(const HttpTarget& target);

// The value of the first header line named `name` (lower case; matched in any
// case), with
// the blanks around it removed; nothing when no line has that name.
std::optional<std::string> HeaderField(std::string_view header, std::string_view name);

// Where a redirect's Location leads from `from`: an absolute http:// URL, one
// without a scheme ("//host/path"), a path from the root, or a path relative to
// `from`'s folder. Nothing, with the reason in `why`, for another scheme or an
// empty Location.
std::optional<HttpTarget> ResolveRedirect(const HttpTarget& from, std::string_view location, std::string* why);

}  // namespace quillon::cli
