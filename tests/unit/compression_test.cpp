// Store compression and gzip files through dispatch, checked against gzip files
// made by hand with zlib. The checks against other programs, and those of file
// modes and process limits, are in compression_posix_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "compression_fixture.h"

namespace quillon {
namespace {

using namespace compression_test;

TEST_F(ZipTest, EmptyStoreZipsToTheEmptyStreamAndBack) {
  MakeStore("e", {});
  ASSERT_EQ(Do("Zip", {Text("e")}), kOk);
  EXPECT_EQ(Store("e"), (Bytes{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(Do("Unzip", {Text("e"), Long(0)}), kOk);
  EXPECT_EQ(Do("GetStoreSize", {Text("e")}), Long(0));
}

TEST_F(ZipTest, TwiceZippedNeedsTwoUnzips) {
  // The first Unzip takes the size after the first Zip.
  const Bytes data = Sample(5000);
  MakeStore("twice", data);
  Do("Zip", {Text("twice")});
  const Variant once = Do("GetStoreSize", {Text("twice")});
  Do("Zip", {Text("twice")});
  EXPECT_EQ(Do("Unzip", {Text("twice"), once}), kOk);
  EXPECT_EQ(Do("Unzip", {Text("twice"), Long(5000)}), kOk);
  EXPECT_EQ(Store("twice"), data);
}

TEST_F(ZipTest, UnzipOffersRoundedOnePercentPlusTwelveBytes) {
  // Room is round(s * 1.01 + 12), a half to even: 12 for 0, 62 for 50, 164 for 150.
  const struct { int32_t orig_size; size_t fits; } cases[] = {{0, 12}, {50, 62}, {150, 164}};
  for (const auto& c : cases) {
    for (size_t size : {c.fits, c.fits + 1}) {
      MakeStore("s", Sample(size));
      ASSERT_EQ(Do("Zip", {Text("s")}), kOk);
      const Bytes zipped = Store("s");
      if (size == c.fits) {
        EXPECT_EQ(Do("Unzip", {Text("s"), Long(c.orig_size)}), kOk) << c.orig_size;
        EXPECT_EQ(Store("s"), Sample(size));
      } else {
        ExpectFailure(Do("Unzip", {Text("s"), Long(c.orig_size)}), Long(-5), "Zip error: Output buffer too small");
        EXPECT_EQ(Store("s"), zipped);
      }
    }
  }
  // An oversized guess and bytes after the stream do no harm.
  MakeStore("s", Sample(300));
  Do("Zip", {Text("s")});
  MakeStore("s", Cat(Store("s"), {1, 2, 3}));
  EXPECT_EQ(Do("Unzip", {Text("s"), Long(100000000)}), kOk);
  EXPECT_EQ(Store("s"), Sample(300));
}

TEST_F(ZipTest, FailuresLeaveTheStoreAsItWas) {
  MakeStore("z", Sample(400));
  Do("Zip", {Text("z")});
  const Bytes zipped = Store("z");
  MakeStore("cut", Bytes(zipped.begin(), zipped.begin() + 20));
  MakeStore("text", B("not a zlib stream"));
  MakeStore("empty", {});
  for (const char* id : {"cut", "text", "empty"}) {
    const Bytes before = Store(id);
    ExpectFailure(Do("Unzip", {Text(id), Long(400)}), Long(-3), "Zip error: Input data corrupt");
    EXPECT_EQ(Store(id), before) << id;
  }
  ExpectFailure(Do("Unzip", {Text("z"), Long(-13)}), Long(-7), "Unknown error with zip operation");
  ExpectFailure(Do("Zip", {Text("none")}), Long(5), "Invalid procedure call or argument");
  ExpectFailure(Do("Unzip", {Text("none"), Long(1)}), Long(5), "Invalid procedure call or argument");
  EXPECT_EQ(Do("StoreExists", {Text("none")}), Variant::Bool(false));
  // OrigSize is converted before the store is looked up.
  ExpectFailure(Do("Unzip", {Text("none"), Text("big")}), Long(13), "Type mismatch");
  EXPECT_EQ(Do("Unzip", {Text("z"), Variant::R8(3e9)}), Long(6));
  EXPECT_EQ(Do("Unzip", {Text("z"), Variant::Null()}), Long(94));
  EXPECT_EQ(Do("Zip", {Variant::Null()}), Long(94));
  EXPECT_EQ(Store("z"), zipped);
}

TEST(CompressionGzipHeaderTest, EveryReadStaysInsideTheBytes) {
  // FEXTRA with XLEN 6 puts the name at 18; an XLEN above 32767 is unsigned.
  Bytes extra = Cat(Cat(Header(12, 0x01020304), {6, 0, 1, 2, 3, 4, 5, 6}), Cat(B("name.txt"), {0}));
  GzipHeader parsed = ParseGzipHeader(extra, true);
  EXPECT_EQ(parsed.verdict, GzipHeader::Verdict::kOk);
  EXPECT_EQ(parsed.mtime, 0x01020304);
  EXPECT_EQ(parsed.name, B("name.txt"));
  for (size_t cut = 0; cut < extra.size(); ++cut) {
    EXPECT_EQ(ParseGzipHeader(std::span(extra).first(cut), true).verdict, GzipHeader::Verdict::kTruncated) << cut;
  }
  EXPECT_EQ(ParseGzipHeader(std::span(extra).first(12), false).verdict, GzipHeader::Verdict::kOk);
  EXPECT_EQ(ParseGzipHeader(std::span(extra).first(12), false).mtime, 0);

  Bytes wide = Cat(Cat(Header(12), {0x00, 0x80}), Cat(Bytes(0x8000, 0), Cat(B("x"), {0})));
  EXPECT_EQ(ParseGzipHeader(wide, true).name, B("x"));
  EXPECT_EQ(ParseGzipHeader(Cat({0x1F, 0x8B, 9}, Bytes(20, 0)), false).verdict, GzipHeader::Verdict::kNotGzip);
}

TEST(CompressionGzipHeaderTest, StoredNamesReduceToAPlainFinalName) {
  const std::pair<std::string, std::string> cases[] = {
      {"../../evil.txt", "evil.txt"}, {"/etc/passwd", "passwd"}, {"a\\..\\b.txt", "b.txt"},
      {"caf\xE9.txt", "café.txt"},    {"файл", "файл"},          {"..", ""},
      {".", ""},                      {"sub/", ""},               {"x/..", ""}};
  for (const auto& [stored, plain] : cases) {
    std::optional<std::u16string> name = PlainStoredName(B(stored));
    EXPECT_EQ(name ? Utf16ToUtf8(*name) : "", plain) << stored;
  }
  EXPECT_EQ(StoredNameBytes(u"café"), B("caf\xE9"));
  EXPECT_EQ(StoredNameBytes(u"файл"), B("файл"));
}

TEST_F(GZipFileTest, StoresTheFinalNameAndTheRoundedTime) {
  struct Case { std::string name; Bytes stored; int64_t seconds; int64_t nanoseconds; uint32_t mtime; };
  const Case cases[] = {{"café.txt", B("caf\xE9.txt"), 10, 500000000, 10},  // a half goes to the even second
                        {"файл", B("файл"), 11, 500000000, 12},
                        {"plain.txt", B("plain.txt"), 11, 400000000, 11}};
  for (const Case& c : cases) {
    const std::string source = dir_.File(c.name);
    WriteAll(source, B("content"));
    SetTime(source, c.seconds, c.nanoseconds);
    ASSERT_EQ(Do("GZipFile", {Text(source), Text(dir_.File("n.gz"))}), kOk);
    EXPECT_EQ(ReadAll(dir_.File("n.gz")), HandMadeGzip(Cat(Cat(Header(8, c.mtime), c.stored), {0}), B("content")))
        << c.name;
  }
}

TEST_F(GZipFileTest, FailuresWriteNothing) {
  const std::string gz = dir_.File("keep.gz");
  WriteAll(gz, B("old"));
  WriteAll(dir_.File("empty"), {});
  WriteAll(dir_.File("src"), B("data"));
  fs::create_directory(dir_.path() / "folder");
  const auto before = Listing(dir_.path());

  ExpectFailure(Do("GZipFile", {Text(dir_.File("missing")), Text(gz)}), Long(53), "File not found");
  ExpectFailure(Do("GZipFile", {Text(dir_.File("empty")), Text(gz)}), Long(9), "Subscript out of range");
  EXPECT_EQ(Do("GZipFile", {Text(dir_.File("nofolder/x")), Text(gz)}), Long(76));
  EXPECT_EQ(Do("GZipFile", {Text(dir_.File("folder")), Text(gz)}), Long(75));
  EXPECT_EQ(Do("GZipFile", {Variant::Null(), Text(gz)}), Long(94));
  EXPECT_EQ(Do("GZipFile", {Text(dir_.File("src")), Variant::Null()}), Long(94));
  for (const std::string& destination : {dir_.File("nofolder/x.gz"), dir_.File("folder"), std::string()}) {
    ExpectFailure(Do("GZipFile", {Text(dir_.File("src")), Text(destination)}), Variant::I2(1),
                  "zlib error: Unable to open destination file.");
  }
  EXPECT_EQ(ReadAll(gz), B("old"));
  EXPECT_EQ(Listing(dir_.path()), before);
  EXPECT_TRUE(fs::is_empty(dir_.path() / "folder"));
}

TEST_F(GZipFileTest, ReplacesTheDestinationWholeAndFollowsALink) {
  const std::string source = dir_.File("s.txt");
  WriteAll(source, B("short"));
  SetTime(source, 1600000000);
  WriteAll(dir_.File("target.gz"), Sample(100000));
  // Through a link where this build can make one: the file it names is replaced.
  const bool linked = testing::MakeSymlink("target.gz", dir_.path() / "link.gz");
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(dir_.File(linked ? "link.gz" : "target.gz"))}), kOk);
  if (linked) {
    EXPECT_TRUE(fs::is_symlink(dir_.path() / "link.gz"));
  }
  const Bytes expected = HandMadeGzip(NamedHeader("s.txt", 1600000000), B("short"));
  EXPECT_EQ(ReadAll(dir_.File("target.gz")), expected);

  // Onto itself: the source's own time is stored, not that of the rewrite.
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(source)}), kOk);
  EXPECT_EQ(ReadAll(source), expected);
}

TEST_F(GZipUnzipTest, TakesTheStoredNameAndTimeUnlessToldNotTo) {
  const std::string source = dir_.File("report.txt");
  const Bytes data = Sample(3000);
  WriteAll(source, data);
  SetTime(source, 1000000000);
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(dir_.File("r.gz"))}), kOk);
  fs::create_directory(dir_.path() / "restore");

  for (const std::string& given : {dir_.File("restore/x.txt"), dir_.File("restore/")}) {
    std::string path = given;
    ASSERT_EQ(Gunzip(dir_.File("r.gz"), path), kOk) << ErrorString();
    EXPECT_EQ(path, dir_.File("restore/report.txt"));
    EXPECT_EQ(ReadAll(path), data);
    const SplitTime time = ModTime(path);
    EXPECT_EQ(time.seconds, 1000000000);
    EXPECT_EQ(time.nanoseconds, 0);
    EXPECT_GT(AccessTime(path).seconds, 1000000000) << "the access time was changed too";
    fs::remove(path);
  }
  EXPECT_EQ(Listing(dir_.path() / "restore"), std::vector<std::string>{});

  std::string path = dir_.File("restore/x.txt");
  ASSERT_EQ(Gunzip(dir_.File("r.gz"), path, Text("True")), kOk);
  EXPECT_EQ(path, dir_.File("restore/x.txt"));
  EXPECT_EQ(ReadAll(path), data);
  EXPECT_GT(ModTime(path).seconds, 1000000000);

  // Onto itself, with the exact path: the gzip file becomes its content.
  path = dir_.File("r.gz");
  ASSERT_EQ(Gunzip(path, path, Variant::Bool(true)), kOk);
  EXPECT_EQ(ReadAll(path), data);
}

TEST_F(GZipUnzipTest, HandMadeHeadersNamesAndMembers) {
  fs::create_directory(dir_.path() / "out");
  const std::string out = dir_.File("out/");
  struct Case { Bytes file; std::string written; Bytes content; };
  const Case cases[] = {
      {HandMadeGzip(Cat(Cat(Header(12), {6, 0, 'a', 'b', 'c', 'd', 'e', 'f'}), Cat(B("xtra.txt"), {0})), B("x")),
       "xtra.txt", B("x")},
      {HandMadeGzip(NamedHeader(std::string(119, 'n')), B("119")), std::string(119, 'n'), B("119")},
      {HandMadeGzip(NamedHeader(std::string(120, 'm')), B("120")), "given", B("120")},
      {HandMadeGzip(Header(0), B("anonymous")), "given", B("anonymous")},
      {HandMadeGzip(NamedHeader("../up.txt"), B("up")), "up.txt", B("up")},
      {HandMadeGzip(NamedHeader(".."), B("dots")), "given", B("dots")},
      {HandMadeGzip(Header(0), {}), "given", {}},
      // Several members: all of them, under the first one's name.
      {Cat(HandMadeGzip(NamedHeader("multi"), B("hello ")), HandMadeGzip(NamedHeader("second"), B("world"))),
       "multi", B("hello world")},
  };
  for (const Case& c : cases) {
    WriteAll(dir_.File("in.gz"), c.file);
    std::string path = dir_.File("out/given");
    ASSERT_EQ(Gunzip(dir_.File("in.gz"), path), kOk) << c.written << ": " << ErrorString();
    EXPECT_EQ(path, out + c.written);
    EXPECT_EQ(ReadAll(path), c.content) << c.written;
    EXPECT_EQ(Listing(dir_.path() / "out"), std::vector<std::string>{c.written});
    fs::remove(path);
  }
  // Without a stored name, a folder path stays a folder path and cannot be written.
  WriteAll(dir_.File("in.gz"), HandMadeGzip(Header(0), B("x")));
  std::string path = out;
  EXPECT_EQ(Gunzip(dir_.File("in.gz"), path), Long(75));
  EXPECT_TRUE(fs::is_empty(dir_.path() / "out"));
}

TEST_F(GZipUnzipTest, RefusesForeignCorruptAndTruncatedFilesWritingNothing) {
  const Bytes good = HandMadeGzip(NamedHeader("name.txt"), Sample(5000));
  Bytes bad_crc = good, bad_length = good, corrupt = good;
  bad_crc[bad_crc.size() - 6] ^= 1;
  bad_length.back() = 0x80;
  corrupt[40] ^= 0xFF;
  const Bytes cut = Cat(Bytes(good.begin(), good.begin() + good.size() / 2), Le32(5000));
  const Bytes unterminated = Cat(Header(8), B("no end"));
  const Bytes long_extra = Cat(Header(4), {200, 0, 1, 2, 3});
  const std::pair<Bytes, int32_t> cases[] = {
      {B("plain text, long enough to have a header"), 9}, {Bytes(good.begin(), good.begin() + 9), 9},
      {bad_crc, 9}, {bad_length, 9}, {corrupt, 9}, {cut, 9}, {unterminated, 9}, {long_extra, 9},
      // Bytes after the member that are neither a member nor zeros, here claiming 2 GiB.
      {Cat(good, {0xF0, 0xFF, 0xFF, 0x7F}), 9},
      {HandMadeGzip(NamedHeader(std::string(121, 'x')), B("x")), 5}};
  fs::create_directory(dir_.path() / "out");
  WriteAll(dir_.File("out/name.txt"), B("keep"));
  WriteAll(dir_.File("out/given"), B("keep"));
  for (const auto& [file, code] : cases) {
    WriteAll(dir_.File("in.gz"), file);
    for (bool exact : {false, true}) {
      if (code == 5 && exact) continue;
      std::string path = dir_.File("out/given");
      ExpectFailure(Gunzip(dir_.File("in.gz"), path, Variant::Bool(exact)), Long(code),
                    Utf16ToUtf8(RuntimeErrorDescription(code)));
    }
    EXPECT_EQ(Listing(dir_.path() / "out"), (std::vector<std::string>{"given", "name.txt"}));
    EXPECT_EQ(ReadAll(dir_.File("out/name.txt")), B("keep"));
    EXPECT_EQ(ReadAll(dir_.File("out/given")), B("keep"));
  }
  std::string path = dir_.File("out/given");
  EXPECT_EQ(Gunzip(dir_.File("missing.gz"), path), Long(9));
  EXPECT_EQ(Gunzip(dir_.File("nofolder/a.gz"), path), Long(76));
  EXPECT_EQ(Gunzip(dir_.File("in.gz"), path, Text("maybe")), Long(13));
  EXPECT_EQ(Gunzip(dir_.File("in.gz"), path, Variant::Null()), Long(94));
  std::vector<Variant> args{Text(dir_.File("in.gz")), Variant::Null(), Variant::Bool(true)};
  EXPECT_EQ(Call(*ops_, "GUnZipFile", args), Long(94));
  WriteAll(dir_.File("in.gz"), good);
  path = dir_.File("nofolder/x");
  EXPECT_EQ(Gunzip(dir_.File("in.gz"), path, Variant::Bool(true)), Long(76));
}

}  // namespace
}  // namespace quillon
