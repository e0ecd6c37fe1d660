// GUnZipFile over files of any bytes (held in memory), and the store
// decompression of Unzip: the output lands in the folder it was given under a
// plain name, or nothing is written at all; no temporary file is left behind.
// What GUnZipFile writes is what zlib's own gzip reader reads from the file, and
// a file that reader finds damaged is never extracted.
#include <algorithm>
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "compression/store_compression.h"
#include "fileops/file_ops.h"
#include "fuzz_support.h"
#include "core/host.h"
#include "core/text.h"
#include "product/quillon_product.h"

using namespace quillon;

namespace {

struct Fixture {
  QuillonHost host;
  std::shared_ptr<Dispatch> ops = CreateFileOps(host);
  DispId gunzip = 0;
  std::string folder;

  Fixture() {
    FUZZ_CHECK(ops->GetIdOfName(u"GUnZipFile", &gunzip) == 0);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillon-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    std::atexit([] { rmdir(Get().folder.c_str()); });
  }
  static Fixture& Get() {
    static Fixture fixture;
    return fixture;
  }
};

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

// All that zlib's gzip reader gives for a file, through every member (it stops
// quietly at bytes that start no member); nothing when it reports damage.
std::optional<std::vector<uint8_t>> ReadByZlib(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  FUZZ_CHECK(file != nullptr);
  std::vector<uint8_t> content;
  uint8_t buffer[65536];
  int got = 0;
  while ((got = gzread(file, buffer, sizeof buffer)) > 0) content.insert(content.end(), buffer, buffer + got);
  int error = Z_OK;
  gzerror(file, &error);
  gzclose(file);
  if (got < 0 || error != Z_OK) return std::nullopt;
  return content;
}

std::vector<uint8_t> ReadWritten(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void GunzipFile(Fixture& fixture, bool exact_path, std::span<const uint8_t> bytes) {
  const int fd = memfd_create("quillon-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    FUZZ_CHECK(wrote > 0);
    done += static_cast<size_t>(wrote);
  }
  const std::string source = "/proc/self/fd/" + std::to_string(fd);
  const std::string given = fixture.folder + "/out";
  std::vector<Variant> args{Variant::Bstr(Utf8ToUtf16(source)), Variant::Bstr(Utf8ToUtf16(given)),
                            Variant::Bool(exact_path)};
  Variant result;
  ExceptionInfo exception;
  const HResult status = fixture.ops->Invoke(fixture.gunzip, kDispatchMethod, args, &result, &exception);
  FUZZ_CHECK(status == 0);
  const std::optional<std::vector<uint8_t>> by_zlib = ReadByZlib(source);
  close(fd);

  const std::vector<std::string> left = Entries(fixture.folder);
  if (result == Variant::I2(0)) {
    // One file, named as the by-reference path says, directly in the folder.
    FUZZ_CHECK(left.size() == 1);
    FUZZ_CHECK(args[1].vt() == VT_BSTR);
    const std::string written = Utf16ToUtf8(args[1].bstr());
    FUZZ_CHECK(written == fixture.folder + "/" + left[0]);
    if (exact_path) FUZZ_CHECK(left[0] == "out");
    FUZZ_CHECK(by_zlib.has_value() && ReadWritten(written) == *by_zlib);
  } else {
    FUZZ_CHECK(left.empty());
  }
  for (const std::string& name : left) unlink((fixture.folder + "/" + name).c_str());
}

void UnzipStore(std::span<const uint8_t> bytes, int32_t expected_size) {
  std::vector<uint8_t> store(bytes.begin(), bytes.end());
  const int32_t result = UncompressBytes(store, expected_size);
  if (result != 0) FUZZ_CHECK(std::equal(store.begin(), store.end(), bytes.begin(), bytes.end()));

  // What Zip makes, Unzip restores with the size it had.
  std::vector<uint8_t> round(bytes.begin(), bytes.end());
  const int32_t compressed = CompressBytes(round);
  FUZZ_CHECK(compressed >= 0);
  FUZZ_CHECK(UncompressBytes(round, static_cast<int32_t>(bytes.size())) == 0);
  FUZZ_CHECK(std::equal(round.begin(), round.end(), bytes.begin(), bytes.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  if ((mode & 0x80) == 0) {
    GunzipFile(Fixture::Get(), (mode & 1) != 0, input.Rest());
  } else {
    // The size a script passes to Unzip: 16 bits, or any 32-bit value with 0x40
    // (the buffer never exceeds what the stream could fill, whatever the guess).
    const int32_t expected_size = (mode & 0x40) != 0 ? static_cast<int32_t>(input.U32()) : input.U16();
    UnzipStore(input.Rest(), expected_size);
  }
  return 0;
}
