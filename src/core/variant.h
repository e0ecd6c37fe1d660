// Variant: the automation value every argument and result travels as.
// Type numbers are the automation VARTYPEs, so they survive any binding unchanged.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quillon {

class Dispatch;
class Variant;

enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UI1 = 17,
  VT_ARRAY = 0x2000,
};

// A one-dimensional array of variants (VT_ARRAY | VT_VARIANT) with its lower bound.
struct VariantArray {
  int32_t lower_bound = 0;
  std::vector<Variant> items;

  // Defined below Variant: std::vector of an incomplete type has no size() yet.
  // In 64 bits: a lower bound near the top of the 32-bit range plus the element
  // count passes it.
  int64_t upper_bound() const;
};
bool operator==(const VariantArray& a, const VariantArray& b);

// A one-dimensional array of bytes (VT_ARRAY | VT_UI1), always 0-based.
struct ByteArray {
  std::vector<uint8_t> bytes;
  bool operator==(const ByteArray&) const = default;
};

// An array of variants (VT_ARRAY | VT_VARIANT), 0-based, whose elements all
// have one VARTYPE, held as the values themselves. Byte data reaches scripts
// this way (GetBytes hands out a variant per byte), and so do the arrays of
// numbers or texts a script builds; a value per element instead of a variant
// keeps them at their own size rather than ten to forty times it.
//   VT_UI1, VT_BOOL (0 or 1): a byte each in `data`;
//   VT_I2: 2 bytes; VT_I4, VT_R4: 4; VT_R8, VT_DATE: 8, little-endian in `data`;
//   VT_BSTR: `texts`.
struct PackedArray {
  VarType element = VT_UI1;
  std::vector<uint8_t> data;
  std::vector<std::u16string> texts;

  // The bytes one element takes in `data`: 0 for VT_BSTR and for a type that
  // cannot be packed.
  static constexpr size_t ElementSize(uint16_t element) {
    switch (element) {
      case VT_UI1:
      case VT_BOOL: return 1;
      case VT_I2: return 2;
      case VT_I4:
      case VT_R4: return 4;
      case VT_R8:
      case VT_DATE: return 8;
      default: return 0;
    }
  }
  static bool Packs(uint16_t element) { return element == VT_BSTR || ElementSize(element) != 0; }
  // The items packed, when there is at least one and all have one type that packs.
  static std::optional<PackedArray> Of(std::span<const Variant> items);

  size_t size() const {
    const size_t each = ElementSize(element);
    return element == VT_BSTR ? texts.size() : each == 0 ? 0 : data.size() / each;
  }
  // Element `index` (below size()), as the variant it stands for.
  Variant At(size_t index) const;
  // The value of a fixed-size element, read as the type the element VARTYPE holds.
  template <typename T>
  T Get(size_t index) const {
    T value;
    std::memcpy(&value, data.data() + index * sizeof(T), sizeof(T));
    return value;
  }
};
// Element by element, as the variants they stand for.
bool operator==(const PackedArray& a, const PackedArray& b);
static_assert(std::endian::native == std::endian::little, "packed arrays hold their elements little-endian");

struct NullValue {
  bool operator==(const NullValue&) const = default;
};
struct DateValue {
  double days = 0;  // days since 1899-12-30, fraction = time of day
  bool operator==(const DateValue&) const = default;
};
struct ErrorValue {
  int32_t scode = 0;
  bool operator==(const ErrorValue&) const = default;
};
struct BoolValue {
  bool value = false;
  bool operator==(const BoolValue&) const = default;
};

class Variant {
 public:
  using Object = std::shared_ptr<Dispatch>;

  Variant() = default;  // Empty
  Variant(const Variant&) = default;
  Variant(Variant&&) noexcept = default;
  Variant& operator=(const Variant&) = default;
  Variant& operator=(Variant&&) noexcept = default;

  static Variant Empty() { return Variant(); }
  static Variant Null() { return Make<NullValue>(NullValue{}); }
  static Variant I2(int16_t v) { return Make<int16_t>(v); }
  static Variant I4(int32_t v) { return Make<int32_t>(v); }
  static Variant R4(float v) { return Make<float>(v); }
  static Variant R8(double v) { return Make<double>(v); }
  static Variant Date(double days) { return Make<DateValue>(DateValue{days}); }
  static Variant Bstr(std::u16string v) { return Make<std::u16string>(std::move(v)); }
  static Variant Bool(bool v) { return Make<BoolValue>(BoolValue{v}); }
  static Variant UI1(uint8_t v) { return Make<uint8_t>(v); }
  static Variant Error(int32_t scode) { return Make<ErrorValue>(ErrorValue{scode}); }
  // The value a client passes for an optional argument it left out.
  static Variant Missing();
  static Variant FromObject(Object object) { return Make<Object>(std::move(object)); }
  static Variant FromArray(VariantArray array) { return Make<VariantArray>(std::move(array)); }
  static Variant Array(std::vector<Variant> items, int32_t lower_bound = 0) {
    return Make<VariantArray>(VariantArray{lower_bound, std::move(items)});
  }
  static Variant Bytes(std::vector<uint8_t> bytes) { return Make<ByteArray>(ByteArray{std::move(bytes)}); }
  // VT_ARRAY | VT_VARIANT, 0-based, element i being VT_UI1 bytes[i].
  static Variant ByteVariants(std::vector<uint8_t> bytes) { return Packed(PackedArray{VT_UI1, std::move(bytes), {}}); }
  // VT_ARRAY | VT_VARIANT, 0-based, held packed. Copies of the variant share the
  // elements, which nothing changes once they are packed.
  static Variant Packed(PackedArray array) {
    return Make<Shared>(std::make_shared<const PackedArray>(std::move(array)));
  }

  VarType vt() const;

  bool is_empty() const { return index() == kEmpty; }
  bool is_null() const { return index() == kNull; }
  bool is_array() const { return index() == kArray || index() == kBytes || index() == kPacked; }
  // An array of variants held packed; array() does not apply to it.
  bool is_packed() const { return index() == kPacked; }
  // A packed array of VT_UI1 variants.
  bool is_byte_variants() const { return is_packed() && packed().element == VT_UI1; }
  bool is_missing() const;

  int16_t i2() const { return std::get<int16_t>(value_); }
  int32_t i4() const { return std::get<int32_t>(value_); }
  float r4() const { return std::get<float>(value_); }
  double r8() const { return std::get<double>(value_); }
  double date() const { return std::get<DateValue>(value_).days; }
  const std::u16string& bstr() const { return std::get<std::u16string>(value_); }
  const Object& object() const { return std::get<Object>(value_); }
  int32_t scode() const { return std::get<ErrorValue>(value_).scode; }
  bool boolean() const { return std::get<BoolValue>(value_).value; }
  uint8_t ui1() const { return std::get<uint8_t>(value_); }
  const VariantArray& array() const { return std::get<VariantArray>(value_); }
  VariantArray& array() { return std::get<VariantArray>(value_); }
  const std::vector<uint8_t>& bytes() const { return std::get<ByteArray>(value_).bytes; }
  std::vector<uint8_t>& bytes() { return std::get<ByteArray>(value_).bytes; }
  const PackedArray& packed() const { return *std::get<Shared>(value_); }
  // The elements of a packed array of VT_UI1 variants.
  const std::vector<uint8_t>& byte_variants() const { return packed().data; }

  // Same type and same value (objects by identity); for tests and diagnostics.
  bool operator==(const Variant& other) const;

 private:
  enum Index {
    kEmpty, kNull, kI2, kI4, kR4, kR8, kDate, kBstr, kObject, kError, kBool, kUI1, kArray, kBytes, kPacked
  };
  // Held by pointer, so a packed array makes no variant larger.
  using Shared = std::shared_ptr<const PackedArray>;
  using Storage = std::variant<std::monostate, NullValue, int16_t, int32_t, float, double, DateValue,
                               std::u16string, Object, ErrorValue, BoolValue, uint8_t, VariantArray,
                               ByteArray, Shared>;

  template <typename T, typename V>
  static Variant Make(V&& value) {
    Variant out;
    out.value_.template emplace<T>(std::forward<V>(value));
    return out;
  }
  size_t index() const { return value_.index(); }

  Storage value_;
};

inline int64_t VariantArray::upper_bound() const {
  return int64_t{lower_bound} + static_cast<int64_t>(items.size()) - 1;
}

// Shows a variant as "VT:value", for test failure messages and logs.
void PrintTo(const Variant& value, std::ostream* out);

}  // namespace quillon
