#include "core/text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillon {
namespace {

using text_detail::kAnsiHigh;

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The byte for one UTF-16 code unit, or -1 when the code page has none.
int AnsiByte(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  if (c <= 0x9F) {
    // Only the five undefined bytes map to themselves; U+0080 etc. are not
    // characters of the code page (0x80 is the euro sign).
    return kAnsiHigh[c - 0x80] == c ? static_cast<int>(c) : -1;
  }
  for (size_t i = 0; i < kAnsiHigh.size(); ++i) {
    if (kAnsiHigh[i] == c) return static_cast<int>(0x80 + i);
  }
  return -1;
}

// Appends the bytes for `text`; a surrogate pair is one character and so one '?'.
template <typename Out>
void EncodeAnsi(std::u16string_view text, Out& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    int b = AnsiByte(c);
    if (b < 0) {
      b = '?';
      if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
    }
    out.push_back(static_cast<typename Out::value_type>(b));
  }
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is malformed.
// In the malformed case *bad_len is the length of its maximal valid prefix (at
// least 1), which is replaced by one U+FFFD, as Unicode recommends.
size_t Utf8SequenceAt(std::string_view s, size_t i, char32_t* cp, size_t* bad_len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  *bad_len = 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t value;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;         // overlong
    else if (b0 == 0xED) hi = 0x9F;    // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;         // overlong
    else if (b0 == 0xF4) hi = 0x8F;    // beyond U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    value = (value << 6) | (b & 0x3F);
    *bad_len = k + 1;
  }
  *cp = value;
  return len;
}

char16_t UpperOf(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c < 0x100) {
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x0178;
    return c;  // ß and µ have no single upper-case letter in this range
  }
  if (c < 0x180) {  // Latin Extended-A: case pairs, with a few loners
    if (c == 0x0131) return u'I';
    if (c == 0x017F) return u'S';
    if (c == 0x0138 || c == 0x0149 || c == 0x0178) return c;
    const bool odd_is_lower = (c <= 0x0137) || (c >= 0x014A && c <= 0x0177);
    if (odd_is_lower) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    return (c & 1) ? c : static_cast<char16_t>(c - 1);  // 0139..0148, 0179..017E
  }
  if (c >= 0x0370 && c <= 0x03FF) {  // Greek
    if (c >= 0x03B1 && c <= 0x03CB) return c == 0x03C2 ? char16_t{0x03A3} : static_cast<char16_t>(c - 0x20);
    if (c == 0x03AC) return 0x0386;
    if (c >= 0x03AD && c <= 0x03AF) return static_cast<char16_t>(c - 0x25);
    if (c == 0x03CC) return 0x038C;
    if (c == 0x03CD || c == 0x03CE) return static_cast<char16_t>(c - 0x3F);
    if (c == 0x0371 || c == 0x0373 || c == 0x0377) return static_cast<char16_t>(c - 1);
    if (c >= 0x037B && c <= 0x037D) return static_cast<char16_t>(c + 0x82);
    if (c >= 0x03D9 && c <= 0x03EF) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    switch (c) {
      case 0x03D0: return 0x0392;
      case 0x03D1: return 0x0398;
      case 0x03D5: return 0x03A6;
      case 0x03D6: return 0x03A0;
      case 0x03D7: return 0x03CF;
      case 0x03F0: return 0x039A;
      case 0x03F1: return 0x03A1;
      case 0x03F2: return 0x03F9;
      case 0x03F3: return 0x037F;
      case 0x03F5: return 0x0395;
      case 0x03F8: return 0x03F7;
      case 0x03FB: return 0x03FA;
      default: return c;
    }
  }
  if (c >= 0x0400 && c <= 0x052F) {  // Cyrillic and Cyrillic Supplement
    if (c >= 0x0430 && c <= 0x044F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x0450 && c <= 0x045F) return static_cast<char16_t>(c - 0x50);
    if (c == 0x04CF) return 0x04C0;
    if (c >= 0x04C1 && c <= 0x04CE) return (c & 1) ? c : static_cast<char16_t>(c - 1);
    if ((c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF) || c >= 0x04D0) {
      return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    }
    return c;
  }
  return c;
}

}  // namespace

std::u16string AnsiToText(std::string_view bytes) {
  std::u16string text(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    text[i] = AnsiChar(static_cast<uint8_t>(bytes[i]));
  }
  return text;
}

std::u16string AnsiToText(const std::vector<uint8_t>& bytes) {
  return AnsiToText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<uint8_t> TextToAnsiBytes(std::u16string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size());
  EncodeAnsi(text, out);
  return out;
}

std::string TextToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  EncodeAnsi(text, out);
  return out;
}

bool IsAnsiRepresentable(std::u16string_view text) {
  for (char16_t c : text) {
    if (AnsiByte(c) < 0) return false;
  }
  return true;
}

size_t AsciiPrefix(std::u16string_view text) {
  size_t i = 0;
  for (; i + 4 <= text.size(); i += 4) {
    uint64_t units;
    std::memcpy(&units, text.data() + i, sizeof units);
    if (units & 0xFF80'FF80'FF80'FF80) break;
  }
  while (i < text.size() && text[i] < 0x80) ++i;
  return i;
}

size_t AsciiPrefix(std::string_view text) {
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t bytes;
    std::memcpy(&bytes, text.data() + i, sizeof bytes);
    if (bytes & 0x8080'8080'8080'8080) break;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  // Measured first and written through a pointer: whole downloaded files pass
  // here on their way to a client, and growing the string a byte at a time cost
  // several times the conversion.
  size_t length = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t ascii = AsciiPrefix(text.substr(i));
    length += ascii;
    i += ascii;
    if (i == text.size()) break;
    const char16_t c = text[i];
    if (c < 0x800) {
      length += 2;
    } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      length += 4;
      ++i;
    } else {
      length += 3;  // lone surrogates become U+FFFD, three bytes too
    }
  }
  std::string out(length, '\0');
  char* to = out.data();
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t ascii = AsciiPrefix(text.substr(i));
    for (size_t end = i + ascii; i < end; ++i) *to++ = static_cast<char>(text[i]);
    if (i == text.size()) break;
    char32_t cp = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;  // a lone surrogate has no UTF-8 form
    }
    if (cp < 0x800) {
      *to++ = static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
      *to++ = static_cast<char>(0xE0 | (cp >> 12));
      *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
      *to++ = static_cast<char>(0xF0 | (cp >> 18));
      *to++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *to++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    char32_t cp;
    size_t bad_len;
    const size_t len = Utf8SequenceAt(text, i, &cp, &bad_len);
    if (len == 0) {
      out.push_back(kReplacement);
      i += bad_len;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    i += AsciiPrefix(text.substr(i));
    if (i == text.size()) break;
    char32_t cp;
    size_t bad_len;
    const size_t len = Utf8SequenceAt(text, i, &cp, &bad_len);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

Status PathFromText(std::u16string_view text, std::string* path) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == 0) return Status::Error(rt::kBadFileNameOrNumber);
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return Status::Error(rt::kBadFileNameOrNumber);
    }
  }
  *path = Utf16ToUtf8(text);
  return Status::Ok();
}

std::u16string ToUpperText(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = UpperOf(c);
  return out;
}

bool EqualsIgnoreCase(std::u16string_view a, std::string_view ascii) {
  return a.size() == ascii.size() && std::equal(a.begin(), a.end(), ascii.begin(), [](char16_t x, char y) {
           return AsciiUpper(x) == AsciiUpper(static_cast<unsigned char>(y));
         });
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiUpper(static_cast<unsigned char>(x)) == AsciiUpper(static_cast<unsigned char>(y));
         });
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

size_t FindIgnoreCase(std::u16string_view text, std::u16string_view needle, size_t from) {
  if (needle.size() > text.size()) return std::u16string_view::npos;
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && AsciiUpper(text[i + k]) == AsciiUpper(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::u16string_view::npos;
}

std::u16string AsciiToText(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace quillon
