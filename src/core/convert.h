// The automation conversions every member applies to its arguments (locale 1033).
// Each throws RuntimeError on failure: 94 for Null, 13 for a value of the wrong
// kind (text that is no number, an array where a scalar is needed, an object),
// 6 for a number outside the target's range.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/variant.h"

namespace quillon {

std::u16string ToText(const Variant& value);
int32_t ToLong(const Variant& value);      // 32-bit integer, half to even
int16_t ToInteger(const Variant& value);   // 16-bit integer, half to even
uint8_t ToByte(const Variant& value);      // 0..255, half to even
bool ToBoolean(const Variant& value);
double ToDouble(const Variant& value);

// ToByte of elements 0 to out.size() - 1 (at most array.size()) of a packed
// array, in order: the first that does not convert raises its error, as
// ToByte(array.At(i)) would. Numbers that are bytes already cost no variant.
void PackedToBytes(const PackedArray& array, std::span<uint8_t> out);

// True for numbers, Booleans, Empty and text that ToDouble reads; false for Null,
// dates, missing arguments, objects, arrays and text that overflows a double.
bool IsNumeric(const Variant& value);

// Parses numeric text as the automation layer does: blanks around it, a sign,
// digits with an optional decimal point and exponent, or a &H / &O prefix.
// Returns nothing when the text is not a number, an infinity when it is one too
// large for a double. &H / &O text gives its unsigned value.
std::optional<double> ParseNumber(std::u16string_view text);

// Numbers as automation writes them: up to 15 significant digits for doubles,
// 7 for singles, exponent form "1E+20" / "1E-05" where the plain form is too long.
std::u16string FormatDouble(double value);
std::u16string FormatSingle(float value);
// A date as text in the US-English short form ("12/8/2026 8:14:59 PM").
std::u16string FormatDate(double days);

// Rounds to the nearest integer, a half to the even neighbour.
double RoundHalfEven(double value);

}  // namespace quillon
