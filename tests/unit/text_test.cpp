#include "core/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

TEST(TextAnsi, EveryByteSurvivesTheRoundTrip) {
  std::vector<uint8_t> all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<uint8_t>(b);
  const std::u16string text = AnsiToText(all);
  ASSERT_EQ(text.size(), 256u);
  EXPECT_TRUE(IsAnsiRepresentable(text));
  EXPECT_EQ(TextToAnsiBytes(text), all);
  EXPECT_EQ(TextToAnsi(text), std::string(all.begin(), all.end()));
}

TEST(TextAnsi, MapsTheCodePageCharacters) {
  struct Case {
    uint8_t byte;
    char16_t ch;
  } cases[] = {{0x41, u'A'},    {0x80, 0x20AC}, {0x81, 0x0081}, {0x8D, 0x008D},
               {0x8F, 0x008F},  {0x90, 0x0090}, {0x9D, 0x009D}, {0x92, 0x2019},
               {0x9F, 0x0178},  {0x8A, 0x0160}, {0xA0, 0x00A0}, {0xE9, 0x00E9},
               {0xFF, 0x00FF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    EXPECT_EQ(AnsiToText(std::vector<uint8_t>{c.byte}), std::u16string(1, c.ch));
    EXPECT_EQ(TextToAnsiBytes(std::u16string(1, c.ch)), std::vector<uint8_t>{c.byte});
  }
}

TEST(TextAnsi, UnrepresentableCharactersBecomeQuestionMarks) {
  // U+0080 is not the euro sign's byte; a surrogate pair is one character.
  const std::u16string text = u"a\u0080b\u0100c\u20AC\U0001F600d\xD800";
  EXPECT_FALSE(IsAnsiRepresentable(text));
  EXPECT_EQ(TextToAnsi(text), "a?b?c\x80?d?");
  EXPECT_FALSE(IsAnsiRepresentable(u"файл"));
  EXPECT_EQ(TextToAnsi(u"файл"), "????");
  EXPECT_TRUE(IsAnsiRepresentable(u"café €"));
}

TEST(TextUtf8, ConvertsBothWays) {
  struct Case {
    const char* utf8;
    std::u16string text;
  } cases[] = {
      {"", u""},
      {"plain.txt", u"plain.txt"},
      {"caf\xC3\xA9.txt", u"café.txt"},
      {"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt", u"файл.txt"},
      {"\xE2\x82\xAC", u"€"},
      {"\xEF\xBF\xBF", u"\uFFFF"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_TRUE(IsValidUtf8(c.utf8));
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.text);
    EXPECT_EQ(Utf16ToUtf8(c.text), c.utf8);
  }
}

TEST(TextUtf8, AsciiRunsOfAnyLengthAroundOtherCharacters) {
  // Plain text is taken eight bytes at a time: what follows a run must be seen
  // wherever the run ends.
  struct Piece {
    std::u16string text;
    std::string utf8;
  } pieces[] = {{u"\u00e9", "\xC3\xA9"}, {u"\u20AC", "\xE2\x82\xAC"}, {u"\U0001F600", "\xF0\x9F\x98\x80"},
                {u"\x7F", "\x7F"}, {std::u16string(1, char16_t{0xD800}), "\xEF\xBF\xBD"}};
  for (size_t before = 0; before < 18; ++before) {
    for (const Piece& piece : pieces) {
      const std::u16string text = std::u16string(before, u'a') + piece.text + u"bcdefghijk";
      const std::string utf8 = std::string(before, 'a') + piece.utf8 + "bcdefghijk";
      EXPECT_EQ(Utf16ToUtf8(text), utf8) << before;
      EXPECT_TRUE(IsValidUtf8(utf8)) << before;
      EXPECT_FALSE(IsValidUtf8(std::string(before, 'a') + "\xC3" + "bcdefghijk")) << before;
      EXPECT_EQ(AsciiPrefix(utf8), before + (piece.utf8 == "\x7F" ? 11 : 0));
      EXPECT_EQ(AsciiPrefix(text), before + (piece.utf8 == "\x7F" ? 11 : 0));
    }
  }
}

TEST(TextUtf8, MalformedSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string utf8;
    std::u16string text;
  } cases[] = {
      {"a\x80z", u"a\uFFFDz"},                      // stray continuation byte
      {"a\xC3z", u"a\uFFFDz"},                      // truncated pair
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                // overlong '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},      // overlong, three bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},      // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xF0\x9F\x98", u"\uFFFD"},                  // truncated four-byte form
      {"\xE2\x82z", u"\uFFFDz"},
      {"\xFF", u"\uFFFD"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.text);
    EXPECT_EQ(IsValidUtf8(c.utf8), c.text.find(u'\uFFFD') == std::u16string::npos);
  }
}

TEST(TextPath, ClientTextBecomesAUtf8Name) {
  std::string path;
  ASSERT_TRUE(PathFromText(u"/tmp/файл.txt", &path).ok());
  EXPECT_EQ(path, "/tmp/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt");
  ASSERT_TRUE(PathFromText(u"café.txt", &path).ok());
  EXPECT_EQ(path, "caf\xC3\xA9.txt");
  ASSERT_TRUE(PathFromText(u"\U0001F600", &path).ok());
  EXPECT_EQ(path, "\xF0\x9F\x98\x80");
}

TEST(TextPath, NamesThePlatformCannotHoldAreError52) {
  for (const std::u16string& bad :
       {std::u16string(u"a\0b", 3), std::u16string(u"x\xD800"), std::u16string(u"\xDC00x"),
        std::u16string(u"\xD800\xD800\xDC00")}) {
    std::string path = "untouched";
    const Status status = PathFromText(bad, &path);
    EXPECT_EQ(status.number(), rt::kBadFileNameOrNumber);
    EXPECT_EQ(status.description(), u"Bad file name or number");
    EXPECT_EQ(path, "untouched");
  }
}

TEST(TextUpper, FoldsTheLettersOfTheSupportedScripts) {
  struct Case {
    std::u16string in, out;
  } cases[] = {
      {u"data-1_x", u"DATA-1_X"},
      {u"àéîõüýþ÷", u"ÀÉÎÕÜÝÞ÷"},
      {u"ÿ", u"\u0178"},
      {u"ßµ", u"ßµ"},
      {u"āčďęğįıĳķĸĺľłńňŉŋőœřśšťůűŵŷźżžſ", u"ĀČĎĘĞĮIĲĶĸĹĽŁŃŇŉŊŐŒŘŚŠŤŮŰŴŶŹŻŽS"},
      {u"ĀŸŹ", u"ĀŸŹ"},
      {u"αβγδεζηθικλμνξοπρςστυφχψω", u"ΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΣΤΥΦΧΨΩ"},
      {u"άέήίόύώϊϋΐ", u"ΆΈΉΊΌΎΏΪΫΐ"},
      {u"абвгдеёжзийклмнопрстуфхцчшщъыьэюя", u"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"},
      {u"ђѓєѕіїјљњћќѝўџ", u"ЂЃЄЅІЇЈЉЊЋЌЍЎЏ"},
      {u"ѡґҗӂӏӑӿԁ", u"ѠҐҖӁӀӐӾԀ"},
      {u"файл.txt", u"ФАЙЛ.TXT"},
      {u"ǆɐ中\U0001F600", u"ǆɐ中\U0001F600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.in));
    EXPECT_EQ(ToUpperText(c.in), c.out);
  }
}

TEST(TextUpper, UpperCaseIsAFixedPoint) {
  // Folding twice must change nothing, or stored IDs would drift between calls.
  for (char32_t c = 0; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::u16string once = ToUpperText(std::u16string(1, static_cast<char16_t>(c)));
    ASSERT_EQ(ToUpperText(once), once) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(TextNames, CompareWithoutCase) {
  EXPECT_TRUE(EqualsIgnoreCase(u"OpenFile", "openfile"));
  EXPECT_TRUE(EqualsIgnoreCase(u"FILESIZE", "FileSize"));
  EXPECT_TRUE(EqualsIgnoreCase(u"", ""));
  EXPECT_FALSE(EqualsIgnoreCase(u"OpenFile", "OpenFil"));
  EXPECT_FALSE(EqualsIgnoreCase(u"OpenFilé", "OpenFile"));
  EXPECT_FALSE(EqualsIgnoreCase(u"Open_File", "Open File"));
  // '@' and '`' sit next to the letters; a sloppy fold would match them.
  EXPECT_FALSE(EqualsIgnoreCase(u"@", "`"));
}

}  // namespace
}  // namespace quillon
