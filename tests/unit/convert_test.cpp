#include "core/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/status.h"
#include "core/text.h"

namespace quillon {
namespace {

// The run-time error number a conversion throws, or 0 when it succeeds.
int32_t ErrorOf(const std::function<void()>& conversion) {
  try {
    conversion();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

Variant Text(const char* ascii) { return Variant::Bstr(AsciiToText(ascii)); }

TEST(ConvertParseNumber, ReadsAutomationNumericText) {
  struct Case {
    const char16_t* text;
    double value;
  } cases[] = {
      {u"0", 0},           {u"42", 42},           {u"  42  ", 42},        {u"\t-7\r\n", -7},
      {u"+3", 3},          {u"007", 7},           {u"2.5", 2.5},          {u".5", 0.5},
      {u"5.", 5},          {u"-.25", -0.25},      {u"1E3", 1000},         {u"1e+3", 1000},
      {u"2.5E-1", 0.25},   {u"1D2", 100},         {u"&HFF", 255},         {u"&hff", 255},
      {u"&HFFFFFFFF", 4294967295.0},              {u"&O17", 15},          {u" &o777 ", 511},
      {u"1E-400", 0},      {u"-0", 0},
      {u"12345678901234567890", 12345678901234567890.0},
      {u"0.000000000000000000001", 1e-21},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.text));
    const auto parsed = ParseNumber(c.text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, c.value);
    EXPECT_FALSE(std::signbit(*parsed) && *parsed == 0);
  }
}

TEST(ConvertParseNumber, RejectsTextThatIsNoNumber) {
  for (const char16_t* text :
       {u"", u"   ", u"abc", u"1a", u"1 2", u"- 5", u"+", u"-", u".", u"1.2.3", u"1E", u"1E+",
        u"E5", u"&H", u"&HG", u"&O8", u"-&H1", u"&X1", u"True", u"1,000", u"$5", u"١٢"}) {
    SCOPED_TRACE(Utf16ToUtf8(text));
    EXPECT_FALSE(ParseNumber(text).has_value());
  }
}

TEST(ConvertParseNumber, HugeValuesAreInfinite) {
  EXPECT_EQ(ParseNumber(u"1E400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(ParseNumber(u"-1E400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(ParseNumber(u"1E99999999999999999999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(ParseNumber(u"0.0000001E-99999999999999"), 0.0);
}

TEST(ConvertRounding, HalfGoesToEvenNeighbour) {
  struct Case {
    double in, out;
  } cases[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},     {3.5, 4},       {-0.5, 0},
               {-1.5, -2}, {-2.5, -2}, {2.4999, 2},  {2.5001, 3},    {-2.6, -3},
               {1e300, 1e300},         {4503599627370497.0, 4503599627370497.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(RoundHalfEven(c.in), c.out);
  }
}

TEST(ConvertToLong, AcceptsEveryScalarKind) {
  struct Case {
    Variant in;
    int32_t out;
  } cases[] = {
      {Variant::Empty(), 0},
      {Variant::Bool(true), -1},
      {Variant::Bool(false), 0},
      {Variant::UI1(255), 255},
      {Variant::I2(-32768), -32768},
      {Variant::I4(2147483647), 2147483647},
      {Variant::R4(2.5f), 2},
      {Variant::R8(3.5), 4},
      {Variant::R8(-2.5), -2},
      {Variant::R8(2147483647.4), 2147483647},
      {Variant::R8(-2147483648.5), -2147483648},
      {Variant::Date(36526.5), 36526},
      {Text(" 12 "), 12},
      {Text("2.5"), 2},
      {Text("-3.5"), -4},
      {Text("1E3"), 1000},
      {Text("2147483647"), 2147483647},
      {Text("-2147483648"), -2147483648},
      {Text("&HFFFF"), 65535},
      {Text("&HFFFFFFFF"), -1},
      {Text("&H80000000"), -2147483647 - 1},
      {Text("&O37777777777"), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.vt());
    EXPECT_EQ(ToLong(c.in), c.out);
  }
}

TEST(ConvertToLong, FailuresCarryAutomationNumbers) {
  struct Case {
    Variant in;
    int32_t error;
  } cases[] = {
      {Variant::Null(), rt::kInvalidUseOfNull},
      {Variant::Missing(), rt::kTypeMismatch},
      {Variant::Array({Variant::I4(1)}), rt::kTypeMismatch},
      {Variant::Bytes({1, 2}), rt::kTypeMismatch},
      {Variant::FromObject(nullptr), rt::kTypeMismatch},
      {Text(""), rt::kTypeMismatch},
      {Text("12abc"), rt::kTypeMismatch},
      {Text("True"), rt::kTypeMismatch},
      {Variant::R8(2147483647.5), rt::kOverflow},
      {Variant::R8(-2147483649.0), rt::kOverflow},
      {Variant::R8(std::nan("")), rt::kOverflow},
      {Variant::R8(1e300), rt::kOverflow},
      {Text("2147483648"), rt::kOverflow},
      {Text("2147483647.5"), rt::kOverflow},
      {Text("-2147483649"), rt::kOverflow},
      {Text("1E400"), rt::kOverflow},
      {Text("&H100000000"), rt::kOverflow},
      {Text("&H10000000000000000"), rt::kOverflow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.vt());
    EXPECT_EQ(ErrorOf([&] { ToLong(c.in); }), c.error);
  }
}

TEST(ConvertNarrowIntegers, RangeAndBitPatternFollowTheTarget) {
  EXPECT_EQ(ToInteger(Text("&HFFFF")), -1);
  EXPECT_EQ(ToInteger(Variant::R8(32767.4)), 32767);
  EXPECT_EQ(ToInteger(Variant::R8(-32768.5)), -32768);
  EXPECT_EQ(ToInteger(Variant::Bool(true)), -1);
  EXPECT_EQ(ErrorOf([] { ToInteger(Variant::R8(32767.5)); }), rt::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToInteger(Variant::I4(40000)); }), rt::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToInteger(Text("&H10000")); }), rt::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToInteger(Variant::Null()); }), rt::kInvalidUseOfNull);

  EXPECT_EQ(ToByte(Text("255")), 255);
  EXPECT_EQ(ToByte(Text("&HFF")), 255);
  EXPECT_EQ(ToByte(Variant::R8(-0.5)), 0);
  EXPECT_EQ(ToByte(Variant::R8(254.5)), 254);
  EXPECT_EQ(ToByte(Variant::Bool(true)), 255);
  EXPECT_EQ(ToByte(Variant::Empty()), 0);
  for (const Variant& bad : {Variant::I2(-1), Variant::I4(256), Variant::R8(255.5),
                             Variant::R8(-0.6), Text("256"), Text("&H100")}) {
    EXPECT_EQ(ErrorOf([&] { ToByte(bad); }), rt::kOverflow);
  }
  EXPECT_EQ(ErrorOf([] { ToByte(Text("x")); }), rt::kTypeMismatch);
}

TEST(ConvertToDouble, ReadsNumbersAndText) {
  EXPECT_EQ(ToDouble(Variant::Empty()), 0);
  EXPECT_EQ(ToDouble(Variant::Bool(true)), -1);
  EXPECT_EQ(ToDouble(Variant::R4(0.5f)), 0.5);
  EXPECT_EQ(ToDouble(Variant::Date(1.25)), 1.25);
  EXPECT_EQ(ToDouble(Text(" -1.5E2 ")), -150);
  EXPECT_EQ(ToDouble(Text("&HFFFF")), 65535);
  EXPECT_EQ(ErrorOf([] { ToDouble(Text("1E309")); }), rt::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToDouble(Text("1/1/2000")); }), rt::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToDouble(Variant::Null()); }), rt::kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { ToDouble(Variant::Missing()); }), rt::kTypeMismatch);
}

TEST(ConvertToBoolean, NumbersAndWords) {
  struct Case {
    Variant in;
    bool out;
  } cases[] = {
      {Variant::Empty(), false},  {Variant::I4(0), false},     {Variant::I2(2), true},
      {Variant::R8(0.1), true},   {Variant::R4(-0.0f), false}, {Variant::Date(0), false},
      {Text("True"), true},       {Text(" false "), false},    {Text("TRUE"), true},
      {Text("0"), false},         {Text("0.4"), true},         {Text("-1"), true},
      {Text("&H0"), false},       {Text("1E400"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.in.vt() == VT_BSTR ? c.in.bstr() : u"(not text)"));
    EXPECT_EQ(ToBoolean(c.in), c.out);
  }
  EXPECT_EQ(ErrorOf([] { ToBoolean(Text("yes")); }), rt::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToBoolean(Text("")); }), rt::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToBoolean(Variant::Null()); }), rt::kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { ToBoolean(Variant::Array({})); }), rt::kTypeMismatch);
}

TEST(ConvertIsNumeric, MatchesWhatConvertsToANumber) {
  for (const Variant& yes : {Variant::Empty(), Variant::Bool(false), Variant::I2(1),
                             Variant::UI1(1), Variant::R8(1e300), Text(" 1.5 "), Text("&HFF"),
                             Text("-1E5")}) {
    EXPECT_TRUE(IsNumeric(yes)) << yes.vt();
  }
  for (const Variant& no : {Variant::Null(), Variant::Missing(), Variant::Date(1),
                            Variant::Array({Variant::I4(1)}), Variant::FromObject(nullptr),
                            Text(""), Text("abc"), Text("True"), Text("1E400")}) {
    EXPECT_FALSE(IsNumeric(no)) << no.vt();
  }
}

TEST(ConvertToText, NumbersAsAutomationWritesThem) {
  struct Case {
    double value;
    const char16_t* text;
  } doubles[] = {
      {0, u"0"},
      {-0.0, u"0"},
      {2.5, u"2.5"},
      {-0.5, u"-0.5"},
      {1e20, u"1E+20"},
      {1e-5, u"1E-05"},
      {0.0001, u"0.0001"},
      {1.5e-7, u"1.5E-07"},
      {123456789012345.0, u"123456789012345"},
      {1e15, u"1E+15"},
      {1234567890123456.0, u"1.23456789012346E+15"},
      {1.0 / 3, u"0.333333333333333"},
      {2.0 / 3, u"0.666666666666667"},
      {0.1 + 0.2, u"0.3"},
      {100, u"100"},
      {-2147483648.0, u"-2147483648"},
      {1e100, u"1E+100"},
      {-1.25e-300, u"-1.25E-300"},
      {999999999999999.9, u"1E+15"},
  };
  for (const auto& c : doubles) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ToText(Variant::R8(c.value)), c.text);
  }
  EXPECT_EQ(ToText(Variant::R4(0.1f)), u"0.1");
  EXPECT_EQ(ToText(Variant::R4(1.0f / 3)), u"0.3333333");
  EXPECT_EQ(ToText(Variant::R4(16777216.0f)), u"1.677722E+07");
  EXPECT_EQ(ToText(Variant::R4(1234567.0f)), u"1234567");
  EXPECT_EQ(ToText(Variant::I2(-32768)), u"-32768");
  EXPECT_EQ(ToText(Variant::I4(-2147483647 - 1)), u"-2147483648");
  EXPECT_EQ(ToText(Variant::UI1(200)), u"200");
}

TEST(ConvertToText, OtherKinds) {
  EXPECT_EQ(ToText(Variant::Empty()), u"");
  EXPECT_EQ(ToText(Variant::Bool(true)), u"True");
  EXPECT_EQ(ToText(Variant::Bool(false)), u"False");
  EXPECT_EQ(ToText(Variant::Bstr(u"файл")), u"файл");
  EXPECT_EQ(ErrorOf([] { ToText(Variant::Null()); }), rt::kInvalidUseOfNull);
  for (const Variant& bad : {Variant::Missing(), Variant::Error(0), Variant::Array({}),
                             Variant::Bytes({65}), Variant::FromObject(nullptr)}) {
    EXPECT_EQ(ErrorOf([&] { ToText(bad); }), rt::kTypeMismatch) << bad.vt();
  }
}

TEST(ConvertToText, DatesInUsShortForm) {
  struct Case {
    double days;
    const char16_t* text;
  } cases[] = {
      {0, u"12:00:00 AM"},
      {0.5, u"12:00:00 PM"},
      {0.75, u"6:00:00 PM"},
      {1, u"12/31/1899"},
      {2, u"1/1/1900"},
      {36526, u"1/1/2000"},
      {36526.25, u"1/1/2000 6:00:00 AM"},
      {60, u"2/28/1900"},
      {61, u"3/1/1900"},
      {-1.25, u"12/29/1899 6:00:00 AM"},
      {46364 + (20 * 3600 + 14 * 60 + 59) / 86400.0, u"12/8/2026 8:14:59 PM"},
      {36526 + 86399.6 / 86400, u"1/2/2000"},
      {2958465.5, u"12/31/9999 12:00:00 PM"},
      {-657434, u"1/1/0100"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.days);
    EXPECT_EQ(ToText(Variant::Date(c.days)), c.text);
  }
  EXPECT_EQ(ErrorOf([] { FormatDate(2958466); }), rt::kOverflow);
  EXPECT_EQ(ErrorOf([] { FormatDate(-657435); }), rt::kOverflow);
}

}  // namespace
}  // namespace quillon
