// What the FileOps tests share: value helpers and a FileOps object driven
// through dispatch in a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/host.h"
#include "core/text.h"
#include "fileops/file_ops.h"
#include "product/quillon_product.h"
#include "test_support.h"

namespace quillon::file_ops_test {

using testing::ReadAll;
using testing::ScratchDir;
using testing::WriteAll;

inline Variant Text(const std::string& utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }
inline Variant Long(int32_t value) { return Variant::I4(value); }
inline Variant Values(std::vector<int32_t> values, int32_t lower_bound = 0) {
  std::vector<Variant> items;
  for (int32_t v : values) items.push_back(Variant::I4(v));
  return Variant::Array(std::move(items), lower_bound);
}
inline Variant UI1Array(std::vector<uint8_t> bytes) {
  std::vector<Variant> items;
  for (uint8_t b : bytes) items.push_back(Variant::UI1(b));
  return Variant::Array(std::move(items));
}
inline std::vector<uint8_t> Sequence(size_t count, uint8_t first = 1) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

inline const Variant kOk = Variant::I2(0);

class FileOpsTest : public ::testing::Test {
 protected:
  Variant Do(std::string_view name, std::vector<Variant> args = {}) { return Call(*ops_, name, args); }
  std::string ErrorString() { return Utf16ToUtf8(Get(*ops_, "ErrorString").bstr()); }
  Variant ErrorNumber() { return Get(*ops_, "ErrorNumber"); }
  Variant FileSize() { return Get(*ops_, "FileSize"); }

  // A store's bytes, read back through GetBytes.
  std::vector<uint8_t> Store(const std::string& id) {
    std::vector<Variant> args{Text(id), Long(0), Do("GetStoreSize", {Text(id)}), Variant()};
    EXPECT_EQ(Call(*ops_, "GetBytes", args), kOk) << ErrorString();
    std::vector<uint8_t> bytes;
    if (args[3].is_byte_variants()) return args[3].byte_variants();
    if (!args[3].is_array()) return bytes;
    for (const Variant& item : args[3].array().items) bytes.push_back(item.ui1());
    return bytes;
  }
  void MakeStore(const std::string& id, std::vector<uint8_t> bytes) {
    ASSERT_EQ(Do("StoreBytes", {Text(id), Variant::Bytes(std::move(bytes))}), kOk);
  }
  // Status-style failure: the code with its width and the text; ErrorNumber stays 0.
  void ExpectStatus(const Variant& result, const Variant& code, const std::string& text) {
    EXPECT_EQ(result, code);
    EXPECT_EQ(ErrorString(), text);
    EXPECT_EQ(ErrorNumber(), Long(0));
  }

  ScratchDir dir_;
  QuillonHost host_;
  std::shared_ptr<Dispatch> ops_ = CreateFileOps(host_);
};

}  // namespace quillon::file_ops_test
