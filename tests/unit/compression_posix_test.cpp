// Gzip files and zlib streams checked against other programs (Python's zlib and
// gzip modules, the gzip command, pigz) run through a POSIX shell, and against
// file modes, an unprivileged user and a file-size limit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "compression_fixture.h"
#include "test_support_posix.h"

namespace quillon {
namespace {

using namespace compression_test;

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

// A backslash is no separator in a POSIX name, so the stored name keeps it.
TEST_F(GZipFileTest, ABackslashIsPartOfTheStoredName) {
  const std::string source = dir_.File("a\\b.txt");
  WriteAll(source, B("content"));
  SetTime(source, 11, 400000000);
  ASSERT_EQ(Do("GZipFile", {Text(source), Text(dir_.File("n.gz"))}), kOk);
  EXPECT_EQ(ReadAll(dir_.File("n.gz")), HandMadeGzip(Cat(Cat(Header(8, 11), B("a\\b.txt")), {0}), B("content")));
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
    EXPECT_EQ(ModTime(path).seconds, 1234567890) << peer;
    fs::remove(path);
  }
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
