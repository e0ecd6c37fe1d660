#include "host/variant.h"

#include <algorithm>
#include <ostream>

#include "host/convert.h"
#include "host/errors.h"
#include "host/status.h"
#include "host/text.h"

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
    case kByteVariants: return static_cast<VarType>(VT_ARRAY | VT_VARIANT);
  }
  return VT_EMPTY;
}

bool operator==(const VariantArray& a, const VariantArray& b) {
  return a.lower_bound == b.lower_bound && a.items == b.items;
}

namespace {

// The two ways of holding an array of VT_UI1 variants hold the same value.
bool SameBytes(const std::vector<uint8_t>& bytes, const VariantArray& array) {
  return array.lower_bound == 0 && array.items.size() == bytes.size() &&
         std::equal(bytes.begin(), bytes.end(), array.items.begin(),
                    [](uint8_t byte, const Variant& item) { return item == Variant::UI1(byte); });
}

}  // namespace

bool Variant::operator==(const Variant& other) const {
  if (is_byte_variants() && other.index() == kArray) return SameBytes(byte_variants(), other.array());
  if (index() == kArray && other.is_byte_variants()) return SameBytes(other.byte_variants(), array());
  return value_ == other.value_;
}

void PrintTo(const Variant& value, std::ostream* out) {
  *out << "vt" << value.vt() << ":";
  if (value.is_byte_variants()) {
    *out << "(" << value.byte_variants().size() << " UI1 variants)";
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
