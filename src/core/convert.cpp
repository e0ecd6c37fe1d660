#include "core/convert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "core/status.h"
#include "core/text.h"

namespace quillon {
namespace {

enum class Parse { kNotNumber, kOk, kOverflow };

// The outcome of reading numeric text. &H / &O text keeps its bit pattern: an
// integer target reads it at its own width, so "&HFFFF" is -1 as a 16-bit
// integer but 65535 as a 32-bit one, and "&HFFFFFFFF" is -1 as a 32-bit one.
struct ParsedNumber {
  Parse result = Parse::kNotNumber;
  double value = 0;
  bool radix = false;  // &H / &O text; `bits` holds its value
  uint64_t bits = 0;
};

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

ParsedNumber ParseRadix(std::u16string_view s, unsigned shift) {
  ParsedNumber out;
  if (s.empty()) return out;
  uint64_t bits = 0;
  bool overflow = false;
  for (char16_t c : s) {
    unsigned digit;
    if (IsDigit(c)) digit = c - u'0';
    else if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    else return out;
    if (digit >= (1u << shift)) return out;
    if (bits >> (64 - shift)) overflow = true;
    bits = (bits << shift) | digit;
  }
  out.result = overflow ? Parse::kOverflow : Parse::kOk;
  out.radix = true;
  out.bits = bits;
  out.value = static_cast<double>(bits);
  return out;
}

ParsedNumber ParseText(std::u16string_view s) {
  ParsedNumber out;
  size_t begin = 0, end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  s = s.substr(begin, end - begin);
  if (s.empty()) return out;

  if (s[0] == u'&') {
    if (s.size() < 2) return out;
    if (s[1] == u'H' || s[1] == u'h') return ParseRadix(s.substr(2), 4);
    if (s[1] == u'O' || s[1] == u'o') return ParseRadix(s.substr(2), 3);
    return out;
  }

  size_t i = 0;
  const bool negative = s[0] == u'-';
  if (s[0] == u'-' || s[0] == u'+') ++i;

  const size_t int_begin = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  const size_t int_end = i;
  size_t frac_begin = i, frac_end = i;
  if (i < s.size() && s[i] == u'.') {
    frac_begin = ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    frac_end = i;
  }
  if (int_end == int_begin && frac_end == frac_begin) return out;  // no digit at all

  bool has_exponent = false;
  int64_t exponent = 0;
  if (i < s.size() && (s[i] == u'E' || s[i] == u'e' || s[i] == u'D' || s[i] == u'd')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) exp_negative = s[i++] == u'-';
    const size_t exp_begin = i;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      // Saturate: anything past this is an overflow or zero either way.
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - u'0');
    }
    if (i == exp_begin) return out;
    if (exp_negative) exponent = -exponent;
    has_exponent = true;
  }
  if (i != s.size()) return out;

  size_t lead = int_begin;  // leading zeros tell nothing and would cost digits
  while (lead < int_end && s[lead] == u'0') ++lead;

  // Plain integers, the common argument, need no floating-point parse.
  if (!has_exponent && frac_end == frac_begin && int_end - lead <= 18) {
    int64_t v = 0;
    for (size_t k = lead; k < int_end; ++k) v = v * 10 + (s[k] - u'0');
    out.result = Parse::kOk;
    out.value = static_cast<double>(negative ? -v : v);
    return out;
  }

  std::string buffer;
  buffer.reserve((int_end - lead) + (frac_end - frac_begin) + 16);
  if (negative) buffer.push_back('-');
  if (lead == int_end) buffer.push_back('0');
  for (size_t k = lead; k < int_end; ++k) buffer.push_back(static_cast<char>(s[k]));
  buffer.push_back('.');
  for (size_t k = frac_begin; k < frac_end; ++k) buffer.push_back(static_cast<char>(s[k]));
  buffer.push_back('0');
  if (has_exponent) {
    char exp_text[16];
    buffer.push_back('e');
    const auto r = std::to_chars(exp_text, exp_text + sizeof exp_text, exponent);
    buffer.append(exp_text, r.ptr);
  }

  double value = 0;
  const auto r = std::from_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small: the position of the first significant digit decides.
    int64_t magnitude = static_cast<int64_t>(int_end - lead);
    if (magnitude == 0) {
      size_t k = frac_begin;
      while (k < frac_end && s[k] == u'0') ++k;
      magnitude = -static_cast<int64_t>(k - frac_begin);
    }
    if (magnitude + exponent > 0) {
      out.result = Parse::kOverflow;
      out.value = negative ? -HUGE_VAL : HUGE_VAL;
      return out;
    }
    value = 0;
  } else if (r.ec != std::errc() || r.ptr != buffer.data() + buffer.size()) {
    return out;
  }
  out.result = Parse::kOk;
  out.value = value == 0 ? 0.0 : value;  // no negative zero
  return out;
}

[[noreturn]] void Fail(int32_t number) { throw RuntimeError(number); }

template <typename T>
T IntegerFromDouble(double value) {
  const double rounded = RoundHalfEven(value);
  // NaN fails both comparisons, so it is caught by the negated form.
  if (!(rounded >= static_cast<double>(std::numeric_limits<T>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<T>::max()))) {
    Fail(rt::kOverflow);
  }
  return static_cast<T>(rounded);
}

template <typename T>
T IntegerFromInteger(int64_t value) {
  if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
    Fail(rt::kOverflow);
  }
  return static_cast<T>(value);
}

template <typename T>
T IntegerFromText(std::u16string_view text) {
  const ParsedNumber parsed = ParseText(text);
  if (parsed.result == Parse::kNotNumber) Fail(rt::kTypeMismatch);
  if (parsed.result == Parse::kOverflow) Fail(rt::kOverflow);
  if (parsed.radix) {
    using Unsigned = std::make_unsigned_t<T>;
    if (parsed.bits > std::numeric_limits<Unsigned>::max()) Fail(rt::kOverflow);
    return static_cast<T>(static_cast<Unsigned>(parsed.bits));
  }
  return IntegerFromDouble<T>(parsed.value);
}

template <typename T>
T IntegerFromVariant(const Variant& value) {
  switch (value.vt()) {
    case VT_EMPTY: return 0;
    case VT_NULL: Fail(rt::kInvalidUseOfNull);
    case VT_I2: return IntegerFromInteger<T>(value.i2());
    case VT_I4: return IntegerFromInteger<T>(value.i4());
    case VT_UI1: return IntegerFromInteger<T>(value.ui1());
    case VT_R4: return IntegerFromDouble<T>(value.r4());
    case VT_R8: return IntegerFromDouble<T>(value.r8());
    case VT_DATE: return IntegerFromDouble<T>(value.date());
    case VT_BSTR: return IntegerFromText<T>(value.bstr());
    // True is all bits set: -1, or 255 as a byte.
    case VT_BOOL: return value.boolean() ? static_cast<T>(-1) : T{0};
    default: Fail(rt::kTypeMismatch);
  }
}

std::u16string Widen(const char* begin, const char* end) { return std::u16string(begin, end); }

std::u16string IntegerText(int64_t value) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  return Widen(buffer, r.ptr);
}

// The %G layout, written without the C library so no locale can reach it:
// plain digits while the exponent lies in [-5, precision), otherwise d.dddE+XX.
template <typename Float>
std::u16string FormatFloating(Float value, int precision) {
  if (value == 0) return u"0";
  if (std::isnan(value)) return u"-1.#IND";
  if (std::isinf(value)) return value < 0 ? u"-1.#INF" : u"1.#INF";

  char buffer[64];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific,
                               precision - 1);
  const std::string_view sci(buffer, r.ptr - buffer);
  const size_t e_pos = sci.find('e');
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exponent);

  const bool negative = sci[0] == '-';
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out;
  if (negative) out.push_back('-');
  if (exponent < -4 || exponent >= precision) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('E');
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out.push_back('0');
    char exp_text[8];
    const auto er = std::to_chars(exp_text, exp_text + sizeof exp_text, magnitude);
    out.append(exp_text, er.ptr);
  } else if (exponent >= 0) {
    const size_t int_digits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
      out += digits;
      out.append(int_digits - digits.size(), '0');
    } else {
      out.append(digits, 0, int_digits);
      out.push_back('.');
      out.append(digits, int_digits);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  }
  return Widen(out.data(), out.data() + out.size());
}

void AppendNumber(std::string& out, int value, int width) {
  char buffer[12];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  const int length = static_cast<int>(r.ptr - buffer);
  if (length < width) out.append(static_cast<size_t>(width - length), '0');
  out.append(buffer, r.ptr);
}

}  // namespace

std::optional<double> ParseNumber(std::u16string_view text) {
  const ParsedNumber parsed = ParseText(text);
  if (parsed.result == Parse::kNotNumber) return std::nullopt;
  return parsed.value;
}

double RoundHalfEven(double value) {
  // Beyond 2^52 every double is whole; this also passes NaN and infinities through.
  if (!(std::fabs(value) < 4503599627370496.0)) return value;
  const double floor = std::floor(value);
  const double fraction = value - floor;  // exact in this range
  if (fraction > 0.5) return floor + 1;
  if (fraction < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

std::u16string FormatDouble(double value) { return FormatFloating(value, 15); }
std::u16string FormatSingle(float value) { return FormatFloating(value, 7); }

std::u16string FormatDate(double days) {
  // Dates run from 1 January 100 to 31 December 9999.
  if (!(days > -657435.0 && days < 2958466.0)) Fail(rt::kOverflow);

  // The whole part counts days from 30 December 1899; the fraction is the time
  // of day even for dates before it (-1.25 is 29 December 1899, 6:00 AM).
  double whole = std::trunc(days);
  int64_t seconds = static_cast<int64_t>(std::floor(std::fabs(days - whole) * 86400.0 + 0.5));
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += 1;
  }
  const auto day = static_cast<int64_t>(whole);

  std::string out;
  if (day != 0) {
    // Civil date from a day count (days since 1 March of year 0, proleptic Gregorian).
    const int64_t z = day - 25569 + 719468;  // 1899-12-30 is 25569 days before 1970-01-01
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    AppendNumber(out, m, 1);
    out.push_back('/');
    AppendNumber(out, d, 1);
    out.push_back('/');
    AppendNumber(out, y, 4);
  }
  if (seconds != 0 || day == 0) {
    if (!out.empty()) out.push_back(' ');
    const int hour = static_cast<int>(seconds / 3600);
    AppendNumber(out, hour % 12 == 0 ? 12 : hour % 12, 1);
    out.push_back(':');
    AppendNumber(out, static_cast<int>(seconds / 60 % 60), 2);
    out.push_back(':');
    AppendNumber(out, static_cast<int>(seconds % 60), 2);
    out += hour < 12 ? " AM" : " PM";
  }
  return Widen(out.data(), out.data() + out.size());
}

std::u16string ToText(const Variant& value) {
  switch (value.vt()) {
    case VT_EMPTY: return {};
    case VT_NULL: Fail(rt::kInvalidUseOfNull);
    case VT_I2: return IntegerText(value.i2());
    case VT_I4: return IntegerText(value.i4());
    case VT_UI1: return IntegerText(value.ui1());
    case VT_R4: return FormatSingle(value.r4());
    case VT_R8: return FormatDouble(value.r8());
    case VT_DATE: return FormatDate(value.date());
    case VT_BSTR: return value.bstr();
    case VT_BOOL: return value.boolean() ? u"True" : u"False";
    default: Fail(rt::kTypeMismatch);  // a missing argument, an object, an array
  }
}

int32_t ToLong(const Variant& value) { return IntegerFromVariant<int32_t>(value); }
int16_t ToInteger(const Variant& value) { return IntegerFromVariant<int16_t>(value); }
uint8_t ToByte(const Variant& value) { return IntegerFromVariant<uint8_t>(value); }

namespace {

// Integers in the byte range are the bytes; any other element converts as its
// variant does, and so fails as it would.
template <typename T>
void IntegersToBytes(const PackedArray& array, std::span<uint8_t> out) {
  for (size_t i = 0; i < out.size(); ++i) {
    const T value = array.Get<T>(i);
    out[i] = value >= 0 && value <= 255 ? static_cast<uint8_t>(value) : ToByte(array.At(i));
  }
}

}  // namespace

void PackedToBytes(const PackedArray& array, std::span<uint8_t> out) {
  switch (array.element) {
    case VT_UI1: std::copy_n(array.data.begin(), out.size(), out.begin()); return;
    case VT_I4: IntegersToBytes<int32_t>(array, out); return;
    case VT_I2: IntegersToBytes<int16_t>(array, out); return;
    default:
      for (size_t i = 0; i < out.size(); ++i) out[i] = ToByte(array.At(i));
  }
}

double ToDouble(const Variant& value) {
  switch (value.vt()) {
    case VT_EMPTY: return 0;
    case VT_NULL: Fail(rt::kInvalidUseOfNull);
    case VT_I2: return value.i2();
    case VT_I4: return value.i4();
    case VT_UI1: return value.ui1();
    case VT_R4: return value.r4();
    case VT_R8: return value.r8();
    case VT_DATE: return value.date();
    case VT_BOOL: return value.boolean() ? -1.0 : 0.0;
    case VT_BSTR: {
      const ParsedNumber parsed = ParseText(value.bstr());
      if (parsed.result == Parse::kNotNumber) Fail(rt::kTypeMismatch);
      if (parsed.result == Parse::kOverflow) Fail(rt::kOverflow);
      return parsed.value;
    }
    default: Fail(rt::kTypeMismatch);
  }
}

bool ToBoolean(const Variant& value) {
  switch (value.vt()) {
    case VT_EMPTY: return false;
    case VT_NULL: Fail(rt::kInvalidUseOfNull);
    case VT_I2: return value.i2() != 0;
    case VT_I4: return value.i4() != 0;
    case VT_UI1: return value.ui1() != 0;
    case VT_R4: return value.r4() != 0;
    case VT_R8: return value.r8() != 0;
    case VT_DATE: return value.date() != 0;
    case VT_BOOL: return value.boolean();
    case VT_BSTR: {
      std::u16string_view text = value.bstr();
      while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
      while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
      if (EqualsIgnoreCase(text, "True")) return true;
      if (EqualsIgnoreCase(text, "False")) return false;
      const ParsedNumber parsed = ParseText(text);
      if (parsed.result == Parse::kNotNumber) Fail(rt::kTypeMismatch);
      // A number too large to hold is still not zero.
      return parsed.result == Parse::kOverflow || parsed.value != 0;
    }
    default: Fail(rt::kTypeMismatch);
  }
}

bool IsNumeric(const Variant& value) {
  switch (value.vt()) {
    case VT_EMPTY:
    case VT_I2:
    case VT_I4:
    case VT_UI1:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
      return true;
    case VT_BSTR:
      return ParseText(value.bstr()).result == Parse::kOk;
    default:
      return false;  // Null, dates, missing arguments, objects, arrays
  }
}

}  // namespace quillon
