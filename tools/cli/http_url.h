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

}  // namespace quillon::cli
