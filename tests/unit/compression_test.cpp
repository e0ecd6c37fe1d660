// Store compression and gzip files, checked against real peers (Python's zlib
// and gzip modules, the gzip command, pigz) as well as through dispatch.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compression/gzip_file.h"
#include "fileops/file_ops.h"
#include "core/host.h"
#include "core/text.h"
#include "product/quillon_product.h"
#include "test_support.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::ReadAll;
using testing::ScratchDir;
using testing::WriteAll;

const Variant kOk = Variant::I2(0);
Variant Text(const std::string& utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }
Variant Long(int32_t value) { return Variant::I4(value); }
Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Something that compresses well but is not trivial.
Bytes Sample(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 13) % 61 + 32);
  return bytes;
}

std::string Quote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command with a time-out; returns its exit status and its output.
int Shell(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = popen(("timeout 60 sh -c " + Quote(command)).c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Python(const std::string& code, const std::vector<std::string>& args) {
  std::string command = "python3 -c " + Quote(code);
  for (const std::string& arg : args) command.append(" ").append(Quote(arg));
  return Shell(command);
}

// A gzip file made by hand: raw deflate data, CRC-32 and size after `header`.
Bytes HandMadeGzip(const Bytes& header, const Bytes& content) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes data(deflateBound(&stream, content.size()));
  stream.next_in = const_cast<uint8_t*>(content.data());
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = data.data();
  stream.avail_out = static_cast<uInt>(data.size());
  deflate(&stream, Z_FINISH);
  data.resize(stream.total_out);
  deflateEnd(&stream);
  const uint32_t crc = crc32(0, content.data(), static_cast<uInt>(content.size()));
  return Cat(Cat(Cat(header, data), Le32(crc)), Le32(static_cast<uint32_t>(content.size())));
}
Bytes Header(uint8_t flags, uint32_t mtime = 0) { return Cat({0x1F, 0x8B, 8, flags}, Cat(Le32(mtime), {0, 0xFF})); }
Bytes NamedHeader(const std::string& name, uint32_t mtime = 0) { return Cat(Cat(Header(8, mtime), B(name)), {0}); }

void SetTime(const std::string& path, time_t seconds, long nanoseconds = 0) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}
struct timespec ModTime(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mtim;
}

class CompressionTest : public ::testing::Test {
 protected:
  Variant Do(std::string_view name, std::vector<Variant> args) { return Call(*ops_, name, args); }
  std::string ErrorString() { return Utf16ToUtf8(Get(*ops_, "ErrorString").bstr()); }
  void ExpectFailure(const Variant& result, const Variant& code, const std::string& text) {
    EXPECT_EQ(result, code);
    EXPECT_EQ(ErrorString(), text);
    EXPECT_EQ(Get(*ops_, "ErrorNumber"), Long(0));
  }
  void MakeStore(const std::string& id, const Bytes& bytes) {
    Do("DeleteStore", {Text(id)});
    ASSERT_EQ(Do("StoreBytes", {Text(id), Variant::Bytes(bytes)}), kOk);
  }
  Bytes Store(const std::string& id) {
    std::vector<Variant> args{Text(id), Long(0), Do("GetStoreSize", {Text(id)}), Variant()};
    Call(*ops_, "GetBytes", args);
    if (args[3].is_byte_variants()) return args[3].byte_variants();
    Bytes bytes;
    if (args[3].is_array()) for (const Variant& item : args[3].array().items) bytes.push_back(item.ui1());
    return bytes;
  }
  // GUnZipFile with its in-out path argument; returns the result, leaves the path in `path`.
  Variant Gunzip(const std::string& source, std::string& path, Variant exact = Variant::Bool(false)) {
    std::vector<Variant> args{Text(source), Text(path), std::move(exact)};
    Variant result = Call(*ops_, "GUnZipFile", args);
    path = args[1].vt() == VT_BSTR ? Utf16ToUtf8(args[1].bstr()) : "?";
    return result;
  }
  // The folder's entries, to see that a failure left nothing behind.
  std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchDir dir_;
  QuillonHost host_;
  std::shared_ptr<Dispatch> ops_ = CreateFileOps(host_);
};

using ZipTest = CompressionTest;
using GZipFileTest = CompressionTest;
using GZipUnzipTest = CompressionTest;

TEST_F(ZipTest, PythonReadsWhatZipStoresAndUnzipRestoresWhatPythonWrites) {
  const Bytes data = Sample(5000);
  MakeStore("doc", data);
  ASSERT_EQ(Do("Zip", {Text("Doc")}), kOk);
  const Bytes zipped = Store("DOC");
  EXPECT_LT(zipped.size(), 1000u);
  WriteAll(dir_.File("zipped"), zipped);
  ASSERT_EQ(Python("import sys,zlib; d=zlib.decompressobj(); out=d.decompress(open(sys.argv[1],'rb').read());"
                   "sys.exit(0 if d.eof and not d.unused_data and out==open(sys.argv[2],'rb').read() else 1)",
                   {dir_.File("zipped"), (WriteAll(dir_.File("plain"), data), dir_.File("plain"))}),
            0) << "the store is not exactly one zlib stream of the data";

  ASSERT_EQ(Python("import sys,zlib; open(sys.argv[2],'wb').write(zlib.compress(open(sys.argv[1],'rb').read(), 6))",
                   {dir_.File("plain"), dir_.File("py")}),
            0);
  MakeStore("py", ReadAll(dir_.File("py")));
  EXPECT_EQ(Do("Unzip", {Text("py"), Long(5000)}), kOk);
  EXPECT_EQ(Store("py"), data);

  // Twice zipped needs two unzips, the first with the size after the first Zip.
  MakeStore("twice", data);
  Do("Zip", {Text("twice")});
  const Variant once = Do("GetStoreSize", {Text("twice")});
  Do("Zip", {Text("twice")});
  EXPECT_EQ(Do("Unzip", {Text("twice"), once}), kOk);
  EXPECT_EQ(Do("Unzip", {Text("twice"), Long(5000)}), kOk);
  EXPECT_EQ(Store("twice"), data);
}

TEST_F(ZipTest, EmptyStoreZipsToTheEmptyStreamAndBack) {
  MakeStore("e", {});
  ASSERT_EQ(Do("Zip", {Text("e")}), kOk);
  EXPECT_EQ(Store("e"), (Bytes{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(Do("Unzip", {Text("e"), Long(0)}), kOk);
  EXPECT_EQ(Do("GetStoreSize", {Text("e")}), Long(0));
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

TEST_F(GZipFileTest, WritesItsOwnHeaderThatPeersRead) {
  fs::create_directory(dir_.path() / "out");
  const std::string source = dir_.File("report.txt");
  const Bytes data = Sample(20000);
  WriteAll(source, data);
  SetTime(source, 1700000000);
  const std::string gz = dir_.File("out/r.gz");
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(gz)}), kOk) << ErrorString();

  const Bytes written = ReadAll(gz);
  const Bytes header = Cat(Bytes{0x1F, 0x8B, 0x08, 0x08, 0x00, 0xF1, 0x53, 0x65, 0x00, 0xFF}, Cat(B("report.txt"), {0}));
  ASSERT_GT(written.size(), header.size() + 8);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + header.size()), header);
  EXPECT_EQ(Bytes(written.end() - 4, written.end()), Le32(20000));

  std::string listing;
  EXPECT_EQ(Shell("gzip -t " + Quote(gz)), 0);
  EXPECT_EQ(Shell("gzip -dc " + Quote(gz) + " | cmp - " + Quote(source)), 0);
  EXPECT_EQ(Shell("env TZ=UTC gzip -lvN " + Quote(gz), &listing), 0);
  EXPECT_NE(listing.find("Nov 14 22:13"), std::string::npos) << listing;
  EXPECT_NE(listing.find("report.txt"), std::string::npos) << listing;
  EXPECT_EQ(Python("import sys,gzip; sys.exit(gzip.open(sys.argv[1]).read()!=open(sys.argv[2],'rb').read())",
                   {gz, source}),
            0);
}

TEST_F(GZipFileTest, StoresTheFinalNameAndTheRoundedTime) {
  struct Case { std::string name; Bytes stored; time_t seconds; long nanoseconds; uint32_t mtime; };
  const Case cases[] = {{"café.txt", B("caf\xE9.txt"), 10, 500000000, 10},  // a half goes to the even second
                        {"файл", B("файл"), 11, 500000000, 12},
                        {"a\\b.txt", B("a\\b.txt"), 11, 400000000, 11}};  // no separator here
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

TEST_F(GZipFileTest, RefusesAReadOnlyDestination) {
  const std::string gz = dir_.File("ro.gz");
  WriteAll(gz, B("old"));
  WriteAll(dir_.File("src"), B("data"));
  ASSERT_EQ(chmod(gz.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  std::string why;
  auto outcome = testing::RunUnprivileged(
      [&] {
        if (access(gz.c_str(), W_OK) == 0) return 101;
        return Do("GZipFile", {Text(dir_.File("src")), Text(gz)}) == Variant::I2(1) ? 0 : 1;
      },
      &why);
  if (!outcome) GTEST_SKIP() << why;
  if (*outcome == 101) GTEST_SKIP() << "file modes are not enforced for the unprivileged user";
  EXPECT_EQ(*outcome, 0);
  EXPECT_EQ(ReadAll(gz), B("old"));
}

TEST_F(GZipFileTest, ReplacesTheDestinationWholeAndFollowsALink) {
  const std::string source = dir_.File("s.txt");
  WriteAll(source, B("short"));
  SetTime(source, 1600000000);
  WriteAll(dir_.File("target.gz"), Sample(100000));
  fs::create_symlink("target.gz", dir_.path() / "link.gz");
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(dir_.File("link.gz"))}), kOk);
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "link.gz"));
  const Bytes expected = HandMadeGzip(NamedHeader("s.txt", 1600000000), B("short"));
  EXPECT_EQ(ReadAll(dir_.File("target.gz")), expected);

  // Onto itself: the source's own time is stored, not that of the rewrite.
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(source)}), kOk);
  EXPECT_EQ(ReadAll(source), expected);
}

TEST_F(GZipFileTest, AWriteThatFailsHalfWayLeavesNoTrace) {
  // A child whose files may not grow past 4 KiB: zlib's writer, and the
  // extraction's own write, fail part-way through.
  Bytes noise(200000);
  std::mt19937 random(7);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  WriteAll(dir_.File("noise"), noise);
  WriteAll(dir_.File("old.gz"), B("old"));
  WriteAll(dir_.File("in.gz"), HandMadeGzip(NamedHeader("old.gz"), noise));
  const auto before = Listing(dir_.path());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool zipped = Do("GZipFile", {Text(dir_.File("noise")), Text(dir_.File("old.gz"))}) == Variant::I2(2) &&
                        ErrorString() == "zlib error: Failed writing compressed data to file.";
    std::string path = dir_.File("x");
    const bool unzipped = Gunzip(dir_.File("in.gz"), path).vt() == VT_I4;
    _exit(zipped && unzipped ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was killed (time-out or crash)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadAll(dir_.File("old.gz")), B("old"));
  EXPECT_EQ(Listing(dir_.path()), before);
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
    const struct timespec time = ModTime(path);
    EXPECT_EQ(time.tv_sec, 1000000000);
    EXPECT_EQ(time.tv_nsec, 0);
    struct stat info {};
    stat(path.c_str(), &info);
    EXPECT_GT(info.st_atim.tv_sec, 1000000000) << "the access time was changed too";
    fs::remove(path);
  }
  EXPECT_EQ(Listing(dir_.path() / "restore"), std::vector<std::string>{});

  std::string path = dir_.File("restore/x.txt");
  ASSERT_EQ(Gunzip(dir_.File("r.gz"), path, Text("True")), kOk);
  EXPECT_EQ(path, dir_.File("restore/x.txt"));
  EXPECT_EQ(ReadAll(path), data);
  EXPECT_GT(ModTime(path).tv_sec, 1000000000);

  // Onto itself, with the exact path: the gzip file becomes its content.
  path = dir_.File("r.gz");
  ASSERT_EQ(Gunzip(path, path, Variant::Bool(true)), kOk);
  EXPECT_EQ(ReadAll(path), data);
}

TEST_F(GZipUnzipTest, ReadsWhatPeersWrite) {
  const std::string source = dir_.File("peer.txt");
  WriteAll(source, Sample(10000));
  SetTime(source, 1234567890);
  ASSERT_EQ(Shell("gzip -c -N " + Quote(source) + " > " + Quote(dir_.File("gzip.gz"))), 0);
  ASSERT_EQ(Shell("pigz -c " + Quote(source) + " > " + Quote(dir_.File("pigz.gz"))), 0);
  ASSERT_EQ(Python("import sys,gzip; f=gzip.GzipFile(filename='peer.txt',mode='wb',mtime=1234567890,"
                   "fileobj=open(sys.argv[2],'wb')); f.write(open(sys.argv[1],'rb').read()); f.close()",
                   {source, dir_.File("python.gz")}),
            0);
  fs::create_directory(dir_.path() / "out");
  for (const char* peer : {"gzip.gz", "pigz.gz", "python.gz"}) {
    std::string path = dir_.File("out/x");
    ASSERT_EQ(Gunzip(dir_.File(peer), path), kOk) << peer << ": " << ErrorString();
    EXPECT_EQ(path, dir_.File("out/peer.txt"));
    EXPECT_EQ(ReadAll(path), Sample(10000)) << peer;
    EXPECT_EQ(ModTime(path).tv_sec, 1234567890) << peer;
    fs::remove(path);
  }
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

TEST_F(GZipUnzipTest, ReplacesAReadOnlyOutput) {
  WriteAll(dir_.File("in.gz"), HandMadeGzip(NamedHeader("ro.txt"), B("new")));
  WriteAll(dir_.File("ro.txt"), Sample(500));
  ASSERT_EQ(chmod(dir_.File("ro.txt").c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.File("in.gz").c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  std::string why;
  auto outcome = testing::RunUnprivileged(
      [&] {
        if (access(dir_.File("ro.txt").c_str(), W_OK) == 0) return 101;
        std::string path = dir_.File("x");
        return Gunzip(dir_.File("in.gz"), path) == kOk ? 0 : 1;
      },
      &why);
  if (!outcome) GTEST_SKIP() << why;
  if (*outcome == 101) GTEST_SKIP() << "file modes are not enforced for the unprivileged user";
  EXPECT_EQ(*outcome, 0);
  EXPECT_EQ(ReadAll(dir_.File("ro.txt")), B("new"));
}

}  // namespace
}  // namespace quillon
