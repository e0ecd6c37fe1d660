// FileOps as clients see it: every call goes through dispatch with variants, and
// results are checked with their exact type (16-bit own codes and successes,
// 32-bit run-time failures).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/little_endian.h"
#include "file_ops_fixture.h"
#if !defined(_WIN32)
#include "test_support_posix.h"
#endif

namespace quillon {
namespace {

using namespace file_ops_test;

TEST_F(FileOpsTest, NewObjectHasNoFileAndACleanErrorState) {
  EXPECT_EQ(FileSize(), Variant::I2(0));
  EXPECT_EQ(ErrorString(), "");
  EXPECT_EQ(ErrorNumber(), Long(0));
}

TEST_F(FileOpsTest, EveryPublishedMemberReachesItsCode) {
  // Empty arguments make every member of this class answer normally (with a
  // status or a recorded failure), so an automation error means the DISPID is not
  // wired to the member.
  for (const MemberInfo& member : ops_->Class().interface.members) {
    const std::string_view name = member.name;
    std::vector<Variant> args(member.params.size());
    Variant result;
    ExceptionInfo exception;
    const uint16_t flags = member.kind == MemberKind::kPropertyGet ? kDispatchPropertyGet : kDispatchMethod;
    EXPECT_EQ(ops_->Invoke(member.dispid, flags, args, &result, &exception), hr::kOk) << name;
  }
}

TEST_F(FileOpsTest, OpenFileCreatesOrMeasuresAndReplacesTheCurrentFile) {
  const std::string first = dir_.File("новый файл.bin");
  EXPECT_EQ(Do("OpenFile", {Text(first)}), kOk);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(first)));
  EXPECT_EQ(FileSize(), Long(0));

  WriteAll(dir_.File("hundred"), Sequence(100));
  EXPECT_EQ(Do("OpenFile", {Text(dir_.File("hundred"))}), kOk);
  EXPECT_EQ(FileSize(), Long(100));
  EXPECT_EQ(host_.file_numbers().in_use(), 1) << "the first file was not closed";

  Do("CloseFile");
  EXPECT_EQ(FileSize(), Variant::I2(0));
  EXPECT_EQ(host_.file_numbers().in_use(), 0);
  Do("CloseFile");  // nothing open: still silent
  EXPECT_EQ(ErrorString(), "");

  EXPECT_EQ(Do("OpenFile", {Text(dir_.File("hundred"))}), kOk);
  ops_.reset();
  EXPECT_EQ(host_.file_numbers().in_use(), 0) << "the end of the object keeps its file number";
}

TEST_F(FileOpsTest, OpenFileFailuresAreCaughtAndLeaveNoFileOpen) {
  WriteAll(dir_.File("plain"), {1});
  struct Case {
    std::u16string path;
    int32_t code;
  };
  const std::u16string base = Utf8ToUtf16(testing::Utf8Of(dir_.path()));
  const Case cases[] = {
      {base + u"/missing/x.bin", 76},
      {base + u"/plain/x.bin", 76},  // a file where a folder should be
      {base, 75},
      {base + std::u16string(u"/a\0b", 4), 52},
      {base + u"/" + std::u16string(300, u'n'), 52},
      {u"", 52},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Do("OpenFile", {Text(dir_.File("plain"))}), kOk);
    ExpectStatus(Do("OpenFile", {Variant::Bstr(c.path)}), Long(c.code),
                 Utf16ToUtf8(RuntimeErrorDescription(c.code)));
    EXPECT_EQ(FileSize(), Variant::I2(0)) << Utf16ToUtf8(c.path);
    EXPECT_EQ(host_.file_numbers().in_use(), 0);
  }
}

TEST_F(FileOpsTest, OpenFileOfNullRaisesToTheClientAndChangesNothing) {
  WriteAll(dir_.File("f"), Sequence(7));
  ASSERT_EQ(Do("OpenFile", {Text(dir_.File("f"))}), kOk);
  EXPECT_EQ(Do("GetStoreSize", {Text("none")}), Variant());  // leaves ErrorNumber 5
  try {
    Do("OpenFile", {Variant::Null()});
    FAIL() << "no exception";
  } catch (const DispatchError& error) {
    EXPECT_EQ(error.hresult, hr::kException);
    EXPECT_EQ(error.exception.scode, ScodeOfRuntimeError(94));
    EXPECT_EQ(error.exception.source, u"Quillon");
    EXPECT_EQ(error.exception.description, u"Invalid use of Null");
  }
  EXPECT_EQ(FileSize(), Long(7));
  EXPECT_EQ(ErrorNumber(), Long(5));
}

TEST_F(FileOpsTest, OpenFileWithEveryFileNumberTakenIsTooManyFiles) {
  std::vector<int16_t> taken;
  for (int16_t n; (n = host_.file_numbers().Acquire()) != 0;) taken.push_back(n);
  ExpectStatus(Do("OpenFile", {Text(dir_.File("f"))}), Long(67), "Too many files");
  for (int16_t n : taken) host_.file_numbers().Release(n);
  EXPECT_EQ(Do("OpenFile", {Text(dir_.File("f"))}), kOk);
}

TEST_F(FileOpsTest, FilesBeyondThe32BitPositionRangeAreRefusedUnchanged) {
  const std::string huge = dir_.File("huge");
  WriteAll(huge, {});
  std::filesystem::resize_file(testing::PathOf(huge), uint64_t{3} << 30);
  ExpectStatus(Do("OpenFile", {Text(huge)}), Long(6), "Overflow");
  EXPECT_EQ(FileSize(), Variant::I2(0));

  const std::string edge = dir_.File("edge");
  WriteAll(edge, {});
  std::filesystem::resize_file(testing::PathOf(edge), 2147483645);
  ASSERT_EQ(Do("OpenFile", {Text(edge)}), kOk);
  MakeStore("five", Sequence(5));
  EXPECT_EQ(Do("FileWrite", {Long(0), Text("five")}), Long(6));
  EXPECT_EQ(std::filesystem::file_size(testing::PathOf(edge)), 2147483645u);
  EXPECT_EQ(Do("FileWrite", {Long(2147483641), Text("five")}), kOk);  // ends on the last position
  EXPECT_EQ(FileSize(), Long(2147483645));
}

TEST_F(FileOpsTest, DeleteFileIsSilentAndClearsTheErrorState) {
  const std::string locked = dir_.File("locked");
  WriteAll(locked, {1});
  using std::filesystem::perms;
  std::filesystem::permissions(testing::PathOf(locked), perms::owner_read | perms::group_read | perms::others_read);
  std::filesystem::create_directory(dir_.path() / "folder");

  Do("GetStoreSize", {Text("none")});
  Do("DeleteFile", {Text(locked)});
  EXPECT_FALSE(std::filesystem::exists(testing::PathOf(locked)));
  EXPECT_EQ(ErrorNumber(), Long(0));
  for (const Variant& path : {Text(locked), Text(dir_.File("folder")), Variant::Null()}) {
    EXPECT_EQ(Do("DeleteFile", {path}), Variant());
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "folder"));
}

TEST_F(FileOpsTest, TransfersNeedAnOpenFileBeforeAnyArgumentIsConverted) {
  ExpectStatus(Do("FileRead", {Variant::Null(), Text("x"), Text("id")}), Variant::I2(-1), "No file open");
  MakeStore("s", {1});
  ExpectStatus(Do("FileWrite", {Text("x"), Variant::Null()}), Variant::I2(-1), "No file open");
}

TEST_F(FileOpsTest, FileReadTakesTheRangeItIsGivenOrRefusesIt) {
  WriteAll(dir_.File("f"), Sequence(100));
  ASSERT_EQ(Do("OpenFile", {Text(dir_.File("f"))}), kOk);

  EXPECT_EQ(Do("FileRead", {Long(0), Long(0), Text("all")}), kOk);
  EXPECT_EQ(Store("ALL"), Sequence(100));
  EXPECT_EQ(Do("FileRead", {Text("91"), Variant::R8(0.4), Text("tail")}), kOk);
  EXPECT_EQ(Store("tail"), Sequence(10, 91));
  EXPECT_EQ(Do("FileRead", {Long(1), Long(1), Long(7)}), kOk);  // a numeric ID names store "7"
  EXPECT_EQ(Store("7"), std::vector<uint8_t>{1});

  for (auto [start, length] : {std::pair{91, 11}, {101, 0}, {0, 101}}) {
    ExpectStatus(Do("FileRead", {Long(start), Long(length), Text("")}), Variant::I2(-2),
                 "Startpoint and/or Length to read invalid");
  }
  ExpectStatus(Do("FileRead", {Long(1), Long(5), Text("")}), Variant::I2(-3),
               "Missing ID name to identify storage");
  ExpectStatus(Do("FileRead", {Long(1), Long(5), Text("tail")}), Long(457),
               "This key is already associated with an element of this collection");
  EXPECT_EQ(Store("tail"), Sequence(10, 91));
  ExpectStatus(Do("FileRead", {Long(-5), Long(3), Text("neg")}), Long(63), "Bad record number");
  EXPECT_EQ(Do("FileRead", {Long(10), Long(-5), Text("neg")}), Long(9));
  EXPECT_EQ(Do("FileRead", {Text("one"), Long(1), Text("neg")}), Long(13));
  EXPECT_EQ(Do("StoreExists", {Text("neg")}), Variant::Bool(false));

  WriteAll(dir_.File("empty"), {});
  ASSERT_EQ(Do("OpenFile", {Text(dir_.File("empty"))}), kOk);
  EXPECT_EQ(Do("FileRead", {Long(0), Long(0), Text("e")}), Variant::I2(-2));
}

TEST_F(FileOpsTest, FileWriteOverwritesOrAppendsByteExactly) {
  const std::string path = dir_.File("f");
  WriteAll(path, Sequence(100));
  ASSERT_EQ(Do("OpenFile", {Text(path)}), kOk);
  MakeStore("five", {201, 202, 203, 204, 205});

  EXPECT_EQ(Do("FileWrite", {Long(98), Text("Five")}), kOk);
  std::vector<uint8_t> expected = Sequence(97);
  expected.insert(expected.end(), {201, 202, 203, 204, 205});
  EXPECT_EQ(ReadAll(path), expected);
  EXPECT_EQ(FileSize(), Long(102));

  for (int32_t start : {0, 108, 5000}) {
    EXPECT_EQ(Do("FileWrite", {Long(start), Text("five")}), kOk);
    expected.insert(expected.end(), {201, 202, 203, 204, 205});
  }
  EXPECT_EQ(ReadAll(path), expected);
  EXPECT_EQ(FileSize(), Long(117));
  EXPECT_TRUE(Do("StoreExists", {Text("five")}).boolean());

  ExpectStatus(Do("FileWrite", {Variant::Null(), Text("data")}), Variant::I2(1),
               "No such store exists: DATA");
  ExpectStatus(Do("FileWrite", {Long(-1), Text("five")}), Long(63), "Bad record number");
  EXPECT_EQ(Do("FileWrite", {Text("abc"), Text("five")}), Long(13));
  MakeStore("none", {});
  EXPECT_EQ(Do("FileWrite", {Long(0), Text("none")}), kOk);
  EXPECT_EQ(ReadAll(path), expected);
}

TEST_F(FileOpsTest, StoresAreNamedWithoutRegardToCase) {
  MakeStore("abc", {1, 2});
  ExpectStatus(Do("StoreBytes", {Text("ABC"), Values({9})}), Long(457),
               "This key is already associated with an element of this collection");
  EXPECT_EQ(Store("Abc"), (std::vector<uint8_t>{1, 2}));

  EXPECT_EQ(Do("StoreString", {Text("t"), Text("")}), kOk);
  EXPECT_EQ(Do("GetStoreSize", {Text("T")}), Long(0));
  EXPECT_EQ(Do("StoreExists", {Text("T")}), Variant::Bool(true));
  EXPECT_EQ(Do("StoreExists", {Variant::Null()}), Variant::Bool(false));

  Do("DeleteStore", {Text("ABC")});
  EXPECT_EQ(Do("StoreExists", {Text("abc")}), Variant::Bool(false));
  Do("ClearStorage");
  EXPECT_EQ(Do("StoreExists", {Text("t")}), Variant::Bool(false));
}

TEST_F(FileOpsTest, StoreBytesConvertsEveryElementOrStoresNothing) {
  EXPECT_EQ(Do("StoreBytes", {Text("mixed"), Variant::Array({Text(" 255 "), Variant::R8(2.5),
                                                             Variant::Bool(false), Variant::UI1(7)})}),
            kOk);
  EXPECT_EQ(Store("mixed"), (std::vector<uint8_t>{255, 2, 0, 7}));
  EXPECT_EQ(Do("StoreBytes", {Text("raw"), Variant::Bytes({0, 128, 255})}), kOk);
  EXPECT_EQ(Store("raw"), (std::vector<uint8_t>{0, 128, 255}));
  EXPECT_EQ(Do("StoreBytes", {Text("empty"), Values({})}), kOk);
  EXPECT_EQ(Do("GetStoreSize", {Text("empty")}), Long(0));

  struct Case {
    Variant array;
    int32_t code;
  };
  const Case cases[] = {{Values({1, 256}), 6},
                        {Values({-1}), 6},
                        {Values({1}, 1), 9},
                        {Variant::Array({Text("x")}), 13},
                        {Long(5), 13},
                        {Variant::Array({Variant::Null()}), 94}};
  for (const Case& c : cases) {
    ExpectStatus(Do("StoreBytes", {Text("bad"), c.array}), Long(c.code),
                 Utf16ToUtf8(RuntimeErrorDescription(c.code)));
  }
  EXPECT_EQ(Do("StoreExists", {Text("bad")}), Variant::Bool(false));
}

TEST_F(FileOpsTest, GetBytesReturnsAZeroBasedArrayOfBytesOrRefusesTheRange) {
  MakeStore("ten", Sequence(10));
  std::vector<Variant> args{Text("ten"), Long(8), Long(3), Text("untouched")};
  EXPECT_EQ(Call(*ops_, "GetBytes", args), kOk);
  EXPECT_EQ(args[3], UI1Array({8, 9, 10}));
  args = {Text("ten"), Long(0), Long(2), Variant()};
  Call(*ops_, "GetBytes", args);
  EXPECT_EQ(args[3], UI1Array({1, 2}));
  args = {Text("ten"), Long(11), Long(0), Variant()};
  EXPECT_EQ(Call(*ops_, "GetBytes", args), kOk);
  EXPECT_EQ(args[3], UI1Array({}));

  for (auto [start, length] : {std::pair{9, 3}, {-1, 1}, {12, 0}}) {
    args = {Text("ten"), Long(start), Long(length), Text("untouched")};
    ExpectStatus(Call(*ops_, "GetBytes", args), Variant::I2(-1), "Start and/or length values not valid");
    EXPECT_EQ(args[3], Text("untouched"));
  }
  args = {Text("ten"), Long(1), Long(-1), Variant()};
  EXPECT_EQ(Call(*ops_, "GetBytes", args), Long(9));
  args = {Text("gone"), Long(1), Long(1), Variant()};
  ExpectStatus(Call(*ops_, "GetBytes", args), Long(5), "Invalid procedure call or argument");
}

TEST_F(FileOpsTest, ReplaceBytesChangesAllOrNothing) {
  MakeStore("ten", Sequence(10));
  ExpectStatus(Do("ReplaceBytes", {Text("ten"), Long(9), Values({0, 0, 0})}), Variant::I2(-1),
               "Invalid start point");
  ExpectStatus(Do("ReplaceBytes", {Text("ten"), Long(1), Values({0, 0, 300})}), Long(6), "Overflow");
  EXPECT_EQ(Do("ReplaceBytes", {Text("ten"), Long(2), Values({0, 0}, 1)}), Long(9));
  EXPECT_EQ(Do("ReplaceBytes", {Text("ten"), Long(1), Text("12")}), Long(13));
  EXPECT_EQ(Store("ten"), Sequence(10));

  EXPECT_EQ(Do("ReplaceBytes", {Text("ten"), Long(8), Variant::Bytes({80, 90, 100})}), kOk);
  EXPECT_EQ(Do("ReplaceBytes", {Text("ten"), Long(0), Values({11})}), kOk);
  EXPECT_EQ(Do("ReplaceBytes", {Text("ten"), Long(11), Values({})}), kOk);
  EXPECT_EQ(Store("ten"), (std::vector<uint8_t>{11, 2, 3, 4, 5, 6, 7, 80, 90, 100}));
  EXPECT_EQ(Do("ReplaceBytes", {Text("gone"), Long(1), Values({1})}), Long(5));
}

TEST_F(FileOpsTest, CopyBytesCopiesWholeBlocksOrLeavesTheTableAsItWas) {
  MakeStore("src", Sequence(10));
  MakeStore("dst", std::vector<uint8_t>(4, 0));

  ExpectStatus(Do("CopyBytes", {Text("src"), Long(1), Long(3), Text("new"), Long(2)}), Variant::I2(-1),
               "Invalid start points and/or length");
  EXPECT_EQ(Do("StoreExists", {Text("new")}), Variant::Bool(false));
  for (auto args : std::vector<std::vector<Variant>>{
           {Text("src"), Long(0), Long(11), Text("dst"), Long(1)},
           {Text("src"), Long(9), Long(3), Text("dst"), Long(1)},
           {Text("src"), Long(1), Long(2), Text("dst"), Long(4)},
           {Text("src"), Long(1), Long(-1), Text("dst"), Long(1)},
           {Text("src"), Long(-1), Long(1), Text("dst"), Long(1)}}) {
    EXPECT_EQ(Do("CopyBytes", args), Variant::I2(-1));
  }
  EXPECT_EQ(Store("dst"), std::vector<uint8_t>(4, 0));

  EXPECT_EQ(Do("CopyBytes", {Text("src"), Long(3), Long(2), Text("dst"), Long(3)}), kOk);
  EXPECT_EQ(Store("dst"), (std::vector<uint8_t>{0, 0, 3, 4}));
  EXPECT_EQ(Do("CopyBytes", {Text("src"), Long(8), Long(3), Text("new"), Long(1)}), kOk);
  EXPECT_EQ(Store("new"), (std::vector<uint8_t>{8, 9, 10}));
  EXPECT_EQ(Do("CopyBytes", {Text("src"), Long(1), Long(0), Text("zero"), Long(0)}), kOk);
  EXPECT_EQ(Do("GetStoreSize", {Text("zero")}), Long(0));

  EXPECT_EQ(Do("CopyBytes", {Text("src"), Long(1), Long(6), Text("SRC"), Long(3)}), kOk);
  EXPECT_EQ(Store("src"), (std::vector<uint8_t>{1, 2, 1, 2, 3, 4, 5, 6, 9, 10}));
  ExpectStatus(Do("CopyBytes", {Text("gone"), Long(1), Long(1), Text("dst"), Long(1)}), Long(5),
               "Invalid procedure call or argument");
  EXPECT_EQ(Do("CopyBytes", {Text("src"), Text("x"), Long(1), Text("dst"), Long(1)}), Long(13));
}

TEST_F(FileOpsTest, ErrorStateDescribesTheLastReportingMember) {
  EXPECT_EQ(Do("GetStoreSize", {Text("data")}), Variant());
  EXPECT_EQ(ErrorNumber(), Long(5));
  EXPECT_EQ(ErrorString(), "Invalid procedure call or argument");
  Do("StoreExists", {Text("data")});
  Do("DeleteStore", {Text("data")});
  FileSize();
  EXPECT_EQ(ErrorNumber(), Long(5)) << "a member that does not report changed the error state";

  EXPECT_EQ(Do("StoreString", {Text("data"), Text("abc")}), kOk);
  EXPECT_EQ(ErrorNumber(), Long(0));
  EXPECT_EQ(ErrorString(), "");
  EXPECT_EQ(Do("GetStoreSize", {Text("DATA")}), Long(3));

  Do("GetStoreSize", {Variant::Null()});
  EXPECT_EQ(ErrorNumber(), Long(94));
  Do("ClearError");
  EXPECT_EQ(ErrorNumber(), Long(0));
  EXPECT_EQ(ErrorString(), "");
  Do("GetStoreSize", {Text("none")});
  Do("ClearStorage");
  EXPECT_EQ(ErrorNumber(), Long(0));
}

TEST_F(FileOpsTest, TextSurvivesTheAnsiCodePageThroughStoresAndFiles) {
  // The Windows-1252 letters above 0x7F, the undefined C1 bytes, and a letter
  // the code page lacks.
  const std::u16string text = u"a\u20AC\u00E9\u2018\u0081\u009D\u00FF\u0416";
  ASSERT_EQ(Do("StoreString", {Text("t"), Variant::Bstr(text)}), kOk);
  const std::vector<uint8_t> ansi{'a', 0x80, 0xE9, 0x91, 0x81, 0x9D, 0xFF, '?'};
  EXPECT_EQ(Store("t"), ansi);

  std::vector<uint8_t> all_bytes = Sequence(256, 0);
  MakeStore("all", all_bytes);
  const std::string path = dir_.File("out");
  ASSERT_EQ(Do("OpenFile", {Text(path)}), kOk);
  ASSERT_EQ(Do("FileWrite", {Long(0), Text("all")}), kOk);
  ASSERT_EQ(Do("FileWrite", {Long(0), Text("t")}), kOk);
  all_bytes.insert(all_bytes.end(), ansi.begin(), ansi.end());
  EXPECT_EQ(ReadAll(path), all_bytes);
  ASSERT_EQ(Do("FileRead", {Long(0), Long(0), Text("back")}), kOk);
  EXPECT_EQ(Store("back"), all_bytes);
}

TEST_F(FileOpsTest, LongsConvertToAndFromLittleEndianBytes) {
  const std::pair<std::vector<int32_t>, int32_t> cases[] = {
      {{1, 0, 0, 0}, 1},          {{0, 1, 0, 0}, 256},      {{255, 255, 255, 255}, -1},
      {{0, 0, 0, 128}, INT32_MIN}, {{255, 255, 255, 127}, INT32_MAX}, {{120, 86, 52, 18}, 305419896},
  };
  for (const auto& [bytes, value] : cases) {
    EXPECT_EQ(Do("BytesToLong", {Values(bytes)}), Long(value));
    EXPECT_EQ(Do("LongToBytes", {Long(value)}), Values(bytes));
  }
  EXPECT_EQ(Do("BytesToLong", {Values({256, 0, 0, 0, 99})}), Long(0));
  EXPECT_EQ(Do("BytesToLong", {Values({-1, 0, 0, 0})}), Long(255));
  EXPECT_EQ(Do("BytesToLong", {Variant::Bytes({0, 1, 0, 0})}), Long(256));
  EXPECT_EQ(Do("LongToBytes", {Variant::R8(2.5)}), Values({2, 0, 0, 0}));
  EXPECT_EQ(Do("LongToBytes", {Text("3.5")}), Values({4, 0, 0, 0}));
  EXPECT_EQ(ErrorNumber(), Long(0));
  EXPECT_EQ(ErrorString(), "");

  for (auto [array, code] : {std::pair{Values({1, 2, 3}), 9}, {Values({1, 2, 3, 4}, 1), 9},
                             {Values({1, 2, 3}, -1), 9}, {Long(7), 13}, {Variant::Array({Text("z")}), 13}}) {
    EXPECT_EQ(Do("BytesToLong", {array}), Variant());
    EXPECT_EQ(ErrorNumber(), Long(code));
  }
  EXPECT_EQ(Do("LongToBytes", {Text("abc")}), Variant::Array(std::vector<Variant>(4)));
  EXPECT_EQ(ErrorNumber(), Long(13));
  EXPECT_EQ(ErrorString(), "Type mismatch");
  EXPECT_EQ(Do("LongToBytes", {Variant::R8(3e9)}), Variant::Array(std::vector<Variant>(4)));
  EXPECT_EQ(ErrorNumber(), Long(6));
}

// Scripts hand in arrays the wire kept packed: every member that reads an array
// answers, fails and stores exactly as it does for the same values one variant each.
TEST_F(FileOpsTest, PackedArraysReadAsTheirItems) {
  const auto outcomes = [this](const Variant& array) {
    std::vector<std::string> seen;
    const auto note = [&](const Variant& result) {
      std::ostringstream text;
      PrintTo(result, &text);
      text << " / " << ErrorString();
      seen.push_back(text.str());
    };
    note(Do("StoreBytes", {Text("s"), array}));
    seen.push_back(Do("StoreExists", {Text("s")}).boolean() ? ::testing::PrintToString(Store("s")) : "none");
    MakeStore("r", Sequence(10));
    note(Do("ReplaceBytes", {Text("r"), Long(3), array}));
    seen.push_back(::testing::PrintToString(Store("r")));
    note(Do("BytesToLong", {array}));
    Do("ClearStorage");
    return seen;
  };
  const auto i2 = [](int16_t v) { return Variant::I2(v); };
  const auto r8 = [](double v) { return Variant::R8(v); };
  const std::vector<std::vector<Variant>> arrays = {
      {Long(0), Long(255), Long(7), Long(128)},
      {Long(1), Long(2), Long(256)},
      {Long(-1), Long(0), Long(0), Long(0)},
      {Long(1), Long(2), Long(3), Long(4), Long(5), Long(6), Long(7), Long(8), Long(9)},  // too long to replace
      {i2(3), i2(-2), i2(0), i2(0)},
      {i2(200), i2(255), i2(1)},
      {r8(2.5), r8(3.5), r8(255.5), r8(0.4)},
      {r8(254.5), r8(-0.5), r8(1e300)},
      {Variant::R4(1.5f), Variant::R4(254.75f)},
      {Variant::Date(3.25), Variant::Date(255.0)},
      {Variant::Bool(true), Variant::Bool(false), Variant::Bool(true)},
      {Text(" 12 "), Text("&HFF"), Text("1e2"), Text("0")},
      {Text("1"), Text("x"), Text("300")},
      {Variant::UI1(9), Variant::UI1(0), Variant::UI1(255), Variant::UI1(1)},
  };
  for (const std::vector<Variant>& items : arrays) {
    std::optional<PackedArray> packed = PackedArray::Of(items);
    ASSERT_TRUE(packed.has_value());
    const Variant array = Variant::Array(items);
    EXPECT_EQ(outcomes(Variant::Packed(std::move(*packed))), outcomes(array)) << ::testing::PrintToString(array);
  }
}

TEST_F(FileOpsTest, SizesAClientGivesAreCheckedBeforeMemoryIsTaken) {
  // Each bit of the result is a check that failed.
  const auto checks = [&] {
    int failed = 0;
    // Elements are read from index 0 to an upper bound of 2,147,483,647 here: 2 GiB
    // of them, named by a few bytes. Index 0 is missing, which is error 9 and no store.
    if (Do("StoreBytes", {Text("big"), Values({1, 2, 3}, 2147483645)}) != Long(9)) failed |= 1;
    if (Do("StoreBytes", {Text("big"), Values({1}, INT32_MAX)}) != Long(9)) failed |= 2;
    if (Do("StoreExists", {Text("big")}) != Variant::Bool(false)) failed |= 4;
    // Unzip's size is only a guess: one of 2.1 billion for 300 bytes restores them.
    Do("StoreBytes", {Text("z"), Variant::Bytes(Sequence(300))});
    Do("Zip", {Text("z")});
    if (Do("Unzip", {Text("z"), Long(2100000000)}) != kOk || Store("z") != Sequence(300)) failed |= 8;
    return failed;
  };
  // In a child limited to 1 GiB of address space, so that sizing anything by
  // these numbers fails there; without the limit (AddressSanitizer, or Windows,
  // which has no such limit) the checks still run here.
  std::optional<int> outcome;
#if !defined(_WIN32)
  std::string why;
  outcome = testing::RunWithAddressSpaceLimit(size_t{1} << 30, checks, &why);
#endif
  if (!outcome) outcome = checks();
  EXPECT_EQ(*outcome, 0) << "bits: 1, 2 StoreBytes; 4 a store was made; 8 Unzip; -1 the child was killed";
}

TEST(LittleEndian, ReadersTakeTheLowBytesFirstAndNeverReadPastAShortArray) {
  const uint8_t gzip_size[] = {0x10, 0x32, 0x54, 0xF6, 0xAA};
  EXPECT_EQ(ArrayToLong(gzip_size), static_cast<int32_t>(0xF6543210u));
  EXPECT_EQ(ArrayToInteger(gzip_size), 0x3210);
  EXPECT_EQ(ArrayToInteger(std::span<const uint8_t>(gzip_size + 3, 2)), static_cast<int16_t>(0xAAF6));
  EXPECT_EQ(ArrayToLong(std::span<const uint8_t>(gzip_size, 2)), 0x3210);
}

}  // namespace
}  // namespace quillon
