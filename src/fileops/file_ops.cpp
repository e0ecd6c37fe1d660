#include "fileops/file_ops.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "compression/zlib_check.h"
#include "core/little_endian.h"
#include "core/convert.h"
#include "core/file_checks.h"
#include "core/host.h"
#include "core/text.h"

namespace quillon {
namespace {

constexpr char16_t kNoFileOpen[] = u"No file open";
constexpr char16_t kReadRangeInvalid[] = u"Startpoint and/or Length to read invalid";
constexpr char16_t kMissingId[] = u"Missing ID name to identify storage";
constexpr char16_t kNoSuchStore[] = u"No such store exists: ";
constexpr char16_t kGetRangeInvalid[] = u"Start and/or length values not valid";
constexpr char16_t kReplaceRangeInvalid[] = u"Invalid start point";
constexpr char16_t kCopyRangeInvalid[] = u"Invalid start points and/or length";

constexpr int64_t kMaxLong = std::numeric_limits<int32_t>::max();

Variant Success() { return Variant::I2(0); }

// Store IDs are shown and kept in upper case.
std::u16string StoreId(const Variant& id) { return ToUpperText(ToText(id)); }

// A 1-based store position as a 0-based offset; 0 means the first byte too, and a
// negative position stays negative so the range checks refuse it.
int64_t OffsetOf(int32_t start) { return start > 0 ? int64_t{start} - 1 : int64_t{start}; }

// A byte array a client hands in: an array of variants (held packed or a
// variant per element) or an array of bytes. Elements are read from index 0 to
// the upper bound, whatever the lower bound says; an index the array lacks is
// run-time error 9.
class ClientArray {
 public:
  explicit ClientArray(const Variant& value) : value_(value) {
    if (!value.is_array()) throw RuntimeError(rt::kTypeMismatch);
  }

  // The elements, when the array holds them as plain bytes (an array of bytes, or
  // of VT_UI1 variants kept packed): 0-based, and nothing to convert.
  const std::vector<uint8_t>* plain_bytes() const {
    if (value_.vt() == (VT_ARRAY | VT_UI1)) return &value_.bytes();
    if (value_.is_byte_variants()) return &value_.byte_variants();
    return nullptr;
  }
  // The elements of an array of variants that all have one type, held packed: 0-based.
  const PackedArray* packed() const { return value_.is_packed() ? &value_.packed() : nullptr; }

  int64_t upper_bound() const {
    if (value_.vt() == (VT_ARRAY | VT_UI1)) return static_cast<int64_t>(value_.bytes().size()) - 1;
    if (const PackedArray* elements = packed()) return static_cast<int64_t>(elements->size()) - 1;
    return value_.array().upper_bound();
  }
  int64_t count() const { return std::max<int64_t>(upper_bound() + 1, 0); }
  // The count, once the array is known to hold index 0 and so every element up
  // to its upper bound (error 9 otherwise). The bounds alone can name 2 GiB of
  // elements in an array of three, so nothing is sized by count() before this.
  int64_t CheckedCount() const {
    const int64_t elements = count();
    if (elements > 0 && value_.vt() == (VT_ARRAY | VT_VARIANT) && packed() == nullptr) {
      CheckIndex(0, value_.array().lower_bound);
    }
    return elements;
  }

  uint8_t ByteAt(int64_t index) const {
    if (const std::vector<uint8_t>* bytes = plain_bytes()) return (*bytes)[CheckIndex(index, 0)];
    if (const PackedArray* elements = packed()) return ToByte(elements->At(CheckIndex(index, 0)));
    return ToByte(Element(index));
  }
  int32_t LongAt(int64_t index) const {
    if (const std::vector<uint8_t>* bytes = plain_bytes()) return (*bytes)[CheckIndex(index, 0)];
    if (const PackedArray* elements = packed()) return ToLong(elements->At(CheckIndex(index, 0)));
    return ToLong(Element(index));
  }
  // Elements 0 to out.size() - 1 (at most count()) as ByteAt gives them, in
  // order: the first that does not convert is the one whose error is raised.
  void CopyBytes(std::span<uint8_t> out) const {
    if (const PackedArray* elements = packed()) return PackedToBytes(*elements, out);
    if (const std::vector<uint8_t>* bytes = plain_bytes()) {
      std::copy_n(bytes->begin(), out.size(), out.begin());
      return;
    }
    for (size_t i = 0; i < out.size(); ++i) out[i] = ByteAt(static_cast<int64_t>(i));
  }

 private:
  const Variant& Element(int64_t index) const {
    const VariantArray& array = value_.array();
    return array.items[CheckIndex(index, array.lower_bound)];
  }
  size_t CheckIndex(int64_t index, int32_t lower_bound) const {
    if (index < lower_bound || index > upper_bound()) throw RuntimeError(rt::kSubscriptOutOfRange);
    return static_cast<size_t>(index - lower_bound);
  }

  const Variant& value_;
};

// A length that cannot size an array: the allocation fails as an array bound
// below its base does.
void RequireArrayLength(int64_t length) {
  if (length < 0) throw RuntimeError(rt::kSubscriptOutOfRange);
}

// A file length as CurFileSize holds it; beyond the 32-bit range positions can no
// longer address it.
int32_t FileLength(RandomAccessFile& file) {
  uint64_t size = 0;
  ThrowIfFailed(file.Size(&size));
  if (size > static_cast<uint64_t>(kMaxLong)) throw RuntimeError(rt::kOverflow);
  return static_cast<int32_t>(size);
}

}  // namespace

FileOps::FileOps(Host& host, std::string working_folder)
    : AutomationObject(*host.library().FindClass("FileOps")),
      host_(host),
      env_(host.env(), std::move(working_folder)) {
  // Creation goes on whatever the answer: the compression members find out for
  // themselves when they need the library.
  (void)ExtractZlib();
}

FileOps::~FileOps() {
  stores_.Clear();
  CloseFile();
}

Variant FileOps::InvokeMember(const MemberInfo& member, std::span<Variant> args) {
  using Args = std::span<Variant>;
  static const MemberTable<FileOps> members(Class().interface, {
      {"OpenFile", [](FileOps& o, Args a) { return o.OpenFile(a[0]); }},
      {"FileSize", [](FileOps& o, Args) { return o.FileSize(); }},
      {"FileRead", [](FileOps& o, Args a) { return o.FileRead(a[0], a[1], a[2]); }},
      {"FileWrite", [](FileOps& o, Args a) { return o.FileWrite(a[0], a[1]); }},
      {"GetBytes", [](FileOps& o, Args a) { return o.GetBytes(a[0], a[1], a[2], a[3]); }},
      {"ReplaceBytes", [](FileOps& o, Args a) { return o.ReplaceBytes(a[0], a[1], a[2]); }},
      {"StoreBytes", [](FileOps& o, Args a) { return o.StoreBytes(a[0], a[1]); }},
      {"StoreString", [](FileOps& o, Args a) { return o.StoreString(a[0], a[1]); }},
      {"CopyBytes", [](FileOps& o, Args a) { return o.CopyBytes(a[0], a[1], a[2], a[3], a[4]); }},
      {"DeleteStore", [](FileOps& o, Args a) { o.DeleteStore(a[0]); return Variant(); }},
      {"GetStoreSize", [](FileOps& o, Args a) { return o.GetStoreSize(a[0]); }},
      {"StoreExists", [](FileOps& o, Args a) { return o.StoreExists(a[0]); }},
      {"ClearStorage", [](FileOps& o, Args) { o.ClearStorage(); return Variant(); }},
      {"BytesToLong", [](FileOps& o, Args a) { return o.BytesToLong(a[0]); }},
      {"LongToBytes", [](FileOps& o, Args a) { return o.LongToBytes(a[0]); }},
      {"CloseFile", [](FileOps& o, Args) { o.CloseFile(); return Variant(); }},
      {"DeleteFile", [](FileOps& o, Args a) { o.DeleteFile(a[0]); return Variant(); }},
      {"ErrorString", [](FileOps& o, Args) { return o.ErrorString(); }},
      {"ErrorNumber", [](FileOps& o, Args) { return o.ErrorNumber(); }},
      {"ClearError", [](FileOps& o, Args) { o.ClearError(); return Variant(); }},
      {"Zip", [](FileOps& o, Args a) { return o.Zip(a[0]); }},
      {"Unzip", [](FileOps& o, Args a) { return o.Unzip(a[0], a[1]); }},
      {"GZipFile", [](FileOps& o, Args a) { return o.GZipFile(a[0], a[1]); }},
      {"GUnZipFile", [](FileOps& o, Args a) { return o.GUnZipFile(a[0], a[1], a[2]); }},
  });
  return members.Run(*this, member, args);
}

// ---- Current file and error state ----

Variant FileOps::OpenFile(Variant& path) {
  // Outside the catcher on purpose: a path that is no text (Null) reaches the
  // client as an automation error and leaves the object exactly as it was.
  const std::u16string text = ToText(path);
  return RunStatusMember(error_, [&] {
    CloseFile();
    std::string file_path;
    ThrowIfFailed(PathFromText(text, &file_path));

    const int16_t number = host_.file_numbers().Acquire();
    if (number == 0) throw RuntimeError(rt::kTooManyFiles);
    std::unique_ptr<RandomAccessFile> file;
    int32_t size = 0;
    try {
      ThrowIfFailed(env_.OpenReadWrite(file_path, &file));
      size = FileLength(*file);
    } catch (...) {
      file.reset();
      host_.file_numbers().Release(number);
      throw;
    }
    file_ = std::move(file);
    file_number_ = number;
    cur_file_size_ = size;
    file_is_open_ = true;
    return Success();
  });
}

Variant FileOps::FileSize() const {
  return file_is_open_ ? Variant::I4(cur_file_size_) : Variant::I2(0);
}

void FileOps::CloseFile() {
  error_.Clear();
  if (file_is_open_) host_.file_numbers().Release(file_number_);
  file_.reset();
  file_number_ = 0;
  cur_file_size_ = 0;
  file_is_open_ = false;
}

void FileOps::DeleteFile(Variant& path) {
  error_.Clear();
  try {
    KillFile(env_, std::u16string_view(ToText(path)));
  } catch (const RuntimeError&) {
    // Silent, as scripts expect: a path that is no text deletes nothing.
  }
}

Variant FileOps::ErrorString() const { return Variant::Bstr(error_.text()); }

Variant FileOps::ErrorNumber() const { return Variant::I4(error_.number()); }

void FileOps::ClearError() { error_.Clear(); }

// ---- File-store transfer ----

Variant FileOps::FileRead(Variant& start, Variant& length, Variant& id) {
  return RunStatusMember(error_, [&] {
    if (!file_is_open_) return OwnFailure(error_, Variant::I2(-1), kNoFileOpen);
    int64_t first = ToLong(start);
    int64_t count = ToLong(length);
    const std::u16string store_id = StoreId(id);

    if (first == 0) first = 1;
    if (count == 0) count = int64_t{cur_file_size_} - first + 1;
    if (count > cur_file_size_ || first > cur_file_size_ || first + count - 1 > cur_file_size_) {
      return OwnFailure(error_, Variant::I2(-2), kReadRangeInvalid);
    }
    if (store_id.empty()) return OwnFailure(error_, Variant::I2(-3), kMissingId);

    RequireArrayLength(count);
    if (first < 1) throw RuntimeError(rt::kBadRecordNumber);
    // Bytes past the real end of a file that shrank since it was measured read as
    // zeros, so the store always has the length that was asked for.
    StoreTable::Bytes bytes(static_cast<size_t>(count), 0);
    size_t read = 0;
    ThrowIfFailed(file_->Read(static_cast<uint64_t>(first - 1), bytes, &read));
    stores_.Insert(store_id, std::move(bytes));
    return Success();
  });
}

Variant FileOps::FileWrite(Variant& start, Variant& id) {
  return RunStatusMember(error_, [&] {
    if (!file_is_open_) return OwnFailure(error_, Variant::I2(-1), kNoFileOpen);
    const std::u16string store_id = StoreId(id);
    if (!stores_.IsStore(store_id)) {
      return OwnFailure(error_, Variant::I2(1), kNoSuchStore + store_id);
    }
    int64_t position = ToLong(start);
    if (position > cur_file_size_) position = 0;
    const StoreTable::Bytes& bytes = stores_.Peek(store_id);
    if (position == 0) position = int64_t{cur_file_size_} + 1;
    if (position < 1) throw RuntimeError(rt::kBadRecordNumber);
    // Refused before anything is written: the file would outgrow the positions a
    // client can name, and its size could no longer be reported.
    if (position - 1 + static_cast<int64_t>(bytes.size()) > kMaxLong) throw RuntimeError(rt::kOverflow);

    ThrowIfFailed(file_->Write(static_cast<uint64_t>(position - 1), bytes));
    cur_file_size_ = FileLength(*file_);
    return Success();
  });
}

// ---- Stores ----

Variant FileOps::GetBytes(Variant& id, Variant& start, Variant& length, Variant& bytes_array) {
  return RunStatusMember(error_, [&] {
    const std::u16string store_id = StoreId(id);
    const int64_t offset = OffsetOf(ToLong(start));
    const int64_t count = ToLong(length);
    const StoreTable::Bytes& store = stores_.Peek(store_id);
    if (offset < 0 || offset + count > static_cast<int64_t>(store.size())) {
      return OwnFailure(error_, Variant::I2(-1), kGetRangeInvalid);
    }
    RequireArrayLength(count);
    const auto first = store.begin() + static_cast<ptrdiff_t>(offset);
    bytes_array = Variant::ByteVariants(StoreTable::Bytes(first, first + static_cast<ptrdiff_t>(count)));
    return Success();
  });
}

Variant FileOps::ReplaceBytes(Variant& id, Variant& start, Variant& bytes_array) {
  return RunStatusMember(error_, [&] {
    const std::u16string store_id = StoreId(id);
    const int64_t offset = OffsetOf(ToLong(start));
    const StoreTable::Bytes& store = stores_.Peek(store_id);
    const ClientArray values(bytes_array);
    const int64_t count = values.count();
    if (offset < 0 || offset + count > static_cast<int64_t>(store.size())) {
      return OwnFailure(error_, Variant::I2(-1), kReplaceRangeInvalid);
    }
    if (count == 0) return Success();
    // The changed copy replaces the store only once every element converted.
    StoreTable::Bytes changed = store;
    values.CopyBytes(std::span<uint8_t>(changed).subspan(static_cast<size_t>(offset), static_cast<size_t>(count)));
    stores_.Replace(store_id, std::move(changed));
    return Success();
  });
}

Variant FileOps::StoreBytes(Variant& id, Variant& bytes_array) {
  return RunStatusMember(error_, [&] {
    const std::u16string store_id = StoreId(id);
    const ClientArray values(bytes_array);
    StoreTable::Bytes bytes(static_cast<size_t>(values.CheckedCount()));
    values.CopyBytes(bytes);
    stores_.Insert(store_id, std::move(bytes));
    return Success();
  });
}

Variant FileOps::StoreString(Variant& id, Variant& string_data) {
  return RunStatusMember(error_, [&] {
    const std::u16string store_id = StoreId(id);
    const std::u16string text = ToText(string_data);
    stores_.Insert(store_id, TextToAnsiBytes(text));
    return Success();
  });
}

Variant FileOps::CopyBytes(Variant& id_from, Variant& start_from, Variant& length_from, Variant& id_to,
                           Variant& start_to) {
  return RunStatusMember(error_, [&] {
    const std::u16string from = ToText(id_from);
    const std::u16string to = ToText(id_to);
    const int32_t first_from = ToLong(start_from);
    const int32_t first_to = ToLong(start_to);
    const int64_t count = ToLong(length_from);
    const StoreTable::Bytes& source = stores_.Peek(from);

    const int64_t source_offset = OffsetOf(first_from);
    const int64_t target_offset = OffsetOf(first_to);
    auto rejected = [&] { return OwnFailure(error_, Variant::I2(-1), kCopyRangeInvalid); };
    // The source range is checked before a new destination is sized by it, so a
    // length no store could satisfy never turns into an allocation.
    if (count < 0 || source_offset < 0 || target_offset < 0 ||
        source_offset + count > static_cast<int64_t>(source.size())) {
      return rejected();
    }
    // The destination is always a copy, so a copy within one store reads the
    // bytes as they were before any is written.
    StoreTable::Bytes target =
        stores_.IsStore(to) ? stores_.Fetch(to) : StoreTable::Bytes(static_cast<size_t>(count), 0);
    if (target_offset + count > static_cast<int64_t>(target.size())) return rejected();

    std::copy_n(source.begin() + source_offset, count, target.begin() + target_offset);
    stores_.Replace(to, std::move(target));
    return Success();
  });
}

void FileOps::DeleteStore(Variant& id) {
  try {
    stores_.Remove(ToText(id));
  } catch (const RuntimeError&) {
    // Silent, as scripts expect, and it leaves the error state alone.
  }
}

Variant FileOps::GetStoreSize(Variant& id) {
  return RunValueMember(error_, Variant(), [&] {
    const StoreTable::Bytes& store = stores_.Peek(StoreId(id));
    return Variant::I4(static_cast<int32_t>(store.size()));
  });
}

Variant FileOps::StoreExists(Variant& id) {
  try {
    return Variant::Bool(stores_.IsStore(ToText(id)));
  } catch (const RuntimeError&) {
    return Variant::Bool(false);
  }
}

void FileOps::ClearStorage() {
  error_.Clear();
  stores_.Clear();
}

// ---- Little-endian conversion ----

Variant FileOps::BytesToLong(Variant& array_in) {
  return RunValueMember(error_, Variant(), [&] {
    const ClientArray values(array_in);
    uint8_t buffer[4];
    for (int i = 0; i < 4; ++i) buffer[i] = static_cast<uint8_t>(values.LongAt(i) & 0xFF);
    return Variant::I4(ArrayToLong(buffer));
  });
}

Variant FileOps::LongToBytes(Variant& long_int) {
  Variant on_failure = Variant::Array(std::vector<Variant>(4));
  return RunValueMember(error_, std::move(on_failure), [&] {
    const uint32_t pattern = static_cast<uint32_t>(ToLong(long_int));
    std::vector<Variant> items;
    for (int i = 0; i < 4; ++i) {
      items.push_back(Variant::I4(static_cast<int32_t>((pattern >> (8 * i)) & 0xFFu)));
    }
    return Variant::Array(std::move(items));
  });
}

std::shared_ptr<Dispatch> CreateFileOps(Host& host) { return std::make_shared<FileOps>(host); }

std::shared_ptr<Dispatch> CreateFileOps(Host& host, ClientScope& scope) {
  return std::make_shared<FileOps>(host, scope.working_folder());
}

}  // namespace quillon
