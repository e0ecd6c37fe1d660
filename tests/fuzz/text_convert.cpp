// Text a script passes where a number or a Boolean is wanted, read as the
// automation layer reads it; the text encodings at the system's edges; and
// address text read as inet_addr reads it.
#include <algorithm>
#include <arpa/inet.h>

#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "core/convert.h"
#include "core/errors.h"
#include "core/text.h"
#include "core/ipv4_text.h"

using namespace quillon;

namespace {

template <typename Convert>
void Try(Convert convert) {
  try {
    convert();
  } catch (const RuntimeError& error) {
    const int32_t number = error.status().number();
    FUZZ_CHECK(number == rt::kTypeMismatch || number == rt::kOverflow || number == rt::kInvalidUseOfNull);
  }
}

void Conversions(const std::u16string& text) {
  const Variant value = Variant::Bstr(text);
  const std::optional<double> number = ParseNumber(text);
  Try([&] { ToDouble(value); });
  Try([&] { ToLong(value); });
  Try([&] { ToInteger(value); });
  Try([&] { ToByte(value); });
  Try([&] { ToBoolean(value); });
  // IsNumeric agrees with ToDouble: true exactly when the text converts.
  bool converts = true;
  try {
    ToDouble(value);
  } catch (const RuntimeError&) {
    converts = false;
  }
  FUZZ_CHECK(IsNumeric(value) == converts);

  if (number && std::isfinite(*number)) {
    // A number written as automation writes it reads back as the number,
    // to the 15 digits it keeps.
    const std::u16string written = FormatDouble(*number);
    const std::optional<double> again = ParseNumber(written);
    FUZZ_CHECK(again.has_value());
    const double tolerance = std::fabs(*number) * 1e-14 + 1e-300;
    FUZZ_CHECK(std::fabs(*again - *number) <= tolerance || std::fabs(*number) < 1e-300);
    FormatSingle(static_cast<float>(*number));
    const double rounded = RoundHalfEven(*number);
    FUZZ_CHECK(std::fabs(rounded - *number) <= 0.5);
    if (*number >= -657434 && *number < 2958466) FormatDate(*number);  // years 100 to 9999
  }
}

void Encodings(std::span<const uint8_t> bytes) {
  const std::string_view raw = fuzz::Chars(bytes);
  // Every byte survives bytes -> text -> bytes in the ANSI code page.
  const std::u16string ansi = AnsiToText(raw);
  FUZZ_CHECK(ansi.size() == raw.size());
  FUZZ_CHECK(TextToAnsi(ansi) == raw);
  FUZZ_CHECK(IsAnsiRepresentable(ansi));
  // Valid UTF-8 survives a trip through UTF-16; anything else still decodes.
  const std::u16string wide = Utf8ToUtf16(raw);
  if (IsValidUtf8(raw)) FUZZ_CHECK(Utf16ToUtf8(wide) == raw);
  FUZZ_CHECK(IsValidUtf8(Utf16ToUtf8(wide)));
  const std::u16string units = fuzz::Units(bytes);
  Utf16ToUtf8(units);
  ToUpperText(units);
  std::string path;
  if (PathFromText(units, &path).ok()) FUZZ_CHECK(path.find('\0') == std::string::npos);
}

void Address(std::span<const uint8_t> bytes) {
  std::string text(fuzz::Chars(bytes));
  const std::optional<uint32_t> ours = ParseIPv4Text(AnsiToText(text));
  if (ours) FUZZ_CHECK(*ours != 0xFFFFFFFFu);
  // The C library's own reader, for text without bytes it may read differently
  // (its notion of a blank depends on the locale only above 0x7F).
  bool plain = true;
  for (unsigned char c : text) plain = plain && c < 0x80;
  if (!plain) return;
  const in_addr_t theirs = inet_addr(text.c_str());
  if (theirs == INADDR_NONE) {
    FUZZ_CHECK(!ours);
  } else {
    FUZZ_CHECK(ours && *ours == ntohl(theirs));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  const std::span<const uint8_t> bytes = input.Rest();
  switch (mode % 4) {
    case 0: Conversions(AnsiToText(fuzz::Chars(bytes))); break;
    case 1: Conversions(fuzz::Units(bytes)); break;
    case 2: Encodings(bytes); break;
    case 3: Address(bytes); break;
  }
  return 0;
}
