// What the compression tests share: byte helpers, gzip files made by hand, and
// a FileOps object driven through dispatch in a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compression/gzip_file.h"
#include "core/host.h"
#include "core/text.h"
#include "fileops/file_ops.h"
#include "product/quillon_product.h"
#include "test_support.h"

namespace quillon::compression_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::ReadAll;
using testing::ScratchDir;
using testing::WriteAll;

inline const Variant kOk = Variant::I2(0);
inline Variant Text(const std::string& utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }
inline Variant Long(int32_t value) { return Variant::I4(value); }
inline Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Something that compresses well but is not trivial.
inline Bytes Sample(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 13) % 61 + 32);
  return bytes;
}

// A gzip file made by hand: raw deflate data, CRC-32 and size after `header`.
inline Bytes HandMadeGzip(const Bytes& header, const Bytes& content) {
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
inline Bytes Header(uint8_t flags, uint32_t mtime = 0) {
  return Cat({0x1F, 0x8B, 8, flags}, Cat(Le32(mtime), {0, 0xFF}));
}
inline Bytes NamedHeader(const std::string& name, uint32_t mtime = 0) {
  return Cat(Cat(Header(8, mtime), B(name)), {0});
}

// Sets a file's modification time, leaving its access time alone.
inline void SetTime(const std::string& path, int64_t seconds, int64_t nanoseconds = 0) {
  testing::SetModificationTime(path, testing::FileTime(std::chrono::seconds(seconds)) +
                                         std::chrono::nanoseconds(nanoseconds));
}
// A file time in whole seconds since 1970 and the nanoseconds past them.
struct SplitTime {
  int64_t seconds;
  int64_t nanoseconds;
};
inline SplitTime Split(testing::FileTime time) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch());
  return {seconds.count(), (time.time_since_epoch() - seconds).count()};
}
inline SplitTime ModTime(const std::string& path) { return Split(testing::TimesOf(path).modified); }
inline SplitTime AccessTime(const std::string& path) { return Split(testing::TimesOf(path).accessed); }

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

}  // namespace quillon::compression_test
