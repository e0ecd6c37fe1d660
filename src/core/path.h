// Paths as the classes take them apart. Which characters separate names and
// which paths are absolute is the target system's to say, and its standard
// library knows: '/' everywhere, and the preferred separator ('\\' on Windows).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

inline bool IsPathSeparator(char32_t c) {
  return c == U'/' || c == static_cast<char32_t>(std::filesystem::path::preferred_separator);
}
inline bool IsAbsolutePath(std::string_view path) { return std::filesystem::path(path).is_absolute(); }

// Where the name begins: just after the last separator, 0 when there is none.
template <typename Char>
size_t NameStart(std::basic_string_view<Char> path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return i;
  }
  return 0;
}

// The folder up to and including its last separator ("" when there is none),
// and the name after it.
inline std::string FolderOf(std::string_view path) { return std::string(path.substr(0, NameStart(path))); }
inline std::u16string FolderOf(std::u16string_view path) { return std::u16string(path.substr(0, NameStart(path))); }
inline std::string NameOf(std::string_view path) { return std::string(path.substr(NameStart(path))); }
inline std::u16string NameOf(std::u16string_view path) { return std::u16string(path.substr(NameStart(path))); }

}  // namespace quillon
