#include "core/variant.h"

#include <algorithm>
#include <ostream>

#include "core/convert.h"
#include "core/errors.h"
#include "core/status.h"
#include "core/text.h"

namespace quillon {

Variant Variant::Missing() { return Error(hr::kParamNotFound); }

bool Variant::is_missing() const {
  return index() == kError && scode() == hr::kParamNotFound;
}

VarType Variant::vt() const {
  switch (index()) {
    case kEmpty: return VT_EMPTY;
    case kNull: return VT_NULL;
    case kI2: return VT_I2;
    case kI4: return VT_I4;
    case kR4: return VT_R4;
    case kR8: return VT_R8;
    case kDate: return VT_DATE;
    case kBstr: return VT_BSTR;
    case kObject: return VT_DISPATCH;
    case kError: return VT_ERROR;
    case kBool: return VT_BOOL;
    case kUI1: return VT_UI1;
    case kArray: return static_cast<VarType>(VT_ARRAY | VT_VARIANT);
    case kBytes: return static_cast<VarType>(VT_ARRAY | VT_UI1);
    case kPacked: return static_cast<VarType>(VT_ARRAY | VT_VARIANT);
  }
  return VT_EMPTY;
}

bool operator==(const VariantArray& a, const VariantArray& b) {
  return a.lower_bound == b.lower_bound && a.items == b.items;
}

Variant PackedArray::At(size_t index) const {
  switch (element) {
    case VT_UI1: return Variant::UI1(data[index]);
    case VT_BOOL: return Variant::Bool(data[index] != 0);
    case VT_I2: return Variant::I2(Get<int16_t>(index));
    case VT_I4: return Variant::I4(Get<int32_t>(index));
    case VT_R4: return Variant::R4(Get<float>(index));
    case VT_R8: return Variant::R8(Get<double>(index));
    case VT_DATE: return Variant::Date(Get<double>(index));
    case VT_BSTR: return Variant::Bstr(texts[index]);
    default: return Variant();
  }
}

std::optional<PackedArray> PackedArray::Of(std::span<const Variant> items) {
  if (items.empty()) return std::nullopt;
  const VarType element = items.front().vt();
  if (!Packs(element)) return std::nullopt;
  for (const Variant& item : items) {
    if (item.vt() != element) return std::nullopt;
  }
  PackedArray packed;
  packed.element = element;
  const auto put = [&packed](const auto& value) {
    const auto* first = reinterpret_cast<const uint8_t*>(&value);
    packed.data.insert(packed.data.end(), first, first + sizeof value);
  };
  if (element == VT_BSTR) {
    packed.texts.reserve(items.size());
  } else {
    packed.data.reserve(items.size() * ElementSize(element));
  }
  for (const Variant& item : items) {
    switch (element) {
      case VT_UI1: packed.data.push_back(item.ui1()); break;
      case VT_BOOL: packed.data.push_back(item.boolean() ? 1 : 0); break;
      case VT_I2: put(item.i2()); break;
      case VT_I4: put(item.i4()); break;
      case VT_R4: put(item.r4()); break;
      case VT_R8: put(item.r8()); break;
      case VT_DATE: put(item.date()); break;
      default: packed.texts.push_back(item.bstr()); break;
    }
  }
  return packed;
}

bool operator==(const PackedArray& a, const PackedArray& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!(a.At(i) == b.At(i))) return false;
  }
  return true;
}

namespace {

// The two ways of holding an array of variants that all have one type hold the same value.
bool SameItems(const PackedArray& packed, const VariantArray& array) {
  if (array.lower_bound != 0 || array.items.size() != packed.size()) return false;
  for (size_t i = 0; i < packed.size(); ++i) {
    if (!(packed.At(i) == array.items[i])) return false;
  }
  return true;
}

}  // namespace

// A variant per byte of a store still costs about forty times the byte; the
// decoder's memory budget counts on it.
static_assert(sizeof(Variant) <= 40);

bool Variant::operator==(const Variant& other) const {
  if (is_packed() && other.is_packed()) return packed() == other.packed();
  if (is_packed() && other.index() == kArray) return SameItems(packed(), other.array());
  if (index() == kArray && other.is_packed()) return SameItems(other.packed(), array());
  return value_ == other.value_;
}

void PrintTo(const Variant& value, std::ostream* out) {
  *out << "vt" << value.vt() << ":";
  if (value.is_byte_variants()) {
    *out << "(" << value.byte_variants().size() << " UI1 variants)";
    return;
  }
  if (value.is_packed()) {
    // The first few elements are enough to tell two arrays apart in a message.
    const PackedArray& packed = value.packed();
    *out << "(" << packed.size() << " packed vt" << packed.element << ":";
    for (size_t i = 0; i < packed.size() && i < 8; ++i) {
      *out << " ";
      PrintTo(packed.At(i), out);
    }
    *out << (packed.size() > 8 ? " ...)" : ")");
    return;
  }
  if (value.vt() == (VT_ARRAY | VT_VARIANT)) {
    *out << "(";
    const char* separator = "";
    for (const Variant& item : value.array().items) {
      *out << separator;
      PrintTo(item, out);
      separator = ", ";
    }
    *out << ")";
    return;
  }
  if (value.vt() == (VT_ARRAY | VT_UI1)) {
    *out << value.bytes().size() << " bytes";
    return;
  }
  try {
    *out << Utf16ToUtf8(ToText(value));
  } catch (const RuntimeError&) {
    *out << "?";
  }
}

}  // namespace quillon
