#include "server/variant_codec.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "core/dispatch.h"
#include "core/text.h"
#include "server/base64.h"

namespace quillon::server {
namespace {

constexpr uint16_t kVariantArray = VT_ARRAY | VT_VARIANT;
constexpr uint16_t kByteArray = VT_ARRAY | VT_UI1;

// JSON has no NaN or infinities; they travel as these strings.
Json EncodeDouble(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return value;
}

std::optional<double> DoubleOf(const Json& value) {
  if (value.is_number()) return value.get<double>();
  if (value == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (value == "Infinity") return std::numeric_limits<double>::infinity();
  if (value == "-Infinity") return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

// Integers only: 5.0 is not an integer on this wire, so a client that means R8
// gets R8 and one that means I4 has to say so.
enum class IntegerStatus { kOk, kNotInteger, kOutOfRange };
IntegerStatus IntegerOf(const Json& value, int64_t low, int64_t high, int64_t* out) {
  if (value.is_number_unsigned()) {
    const uint64_t n = value.get<uint64_t>();
    if (n > static_cast<uint64_t>(high)) return IntegerStatus::kOutOfRange;
    *out = static_cast<int64_t>(n);
    return IntegerStatus::kOk;
  }
  if (!value.is_number_integer()) return IntegerStatus::kNotInteger;
  const int64_t n = value.get<int64_t>();
  if (n < low || n > high) return IntegerStatus::kOutOfRange;
  *out = n;
  return IntegerStatus::kOk;
}

Json EncodeText(const std::u16string& text) {
  if (IsWellFormedUtf16(text)) return {{"vt", VT_BSTR}, {"value", Utf16ToUtf8(text)}};
  // A lone surrogate has no UTF-8 form; the code units go as they are.
  std::vector<uint8_t> units;
  units.reserve(text.size() * 2);
  for (char16_t unit : text) {
    units.push_back(static_cast<uint8_t>(unit & 0xFF));
    units.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return {{"vt", VT_BSTR}, {"utf16", Base64Encode(units)}};
}

// Byte data goes raw in the frame's attachment when the frame has one and the
// data is large enough to gain from it; else as base64.
void PutByteData(Json& wire, std::span<const uint8_t> bytes, std::string* attachment) {
  if (attachment != nullptr && bytes.size() >= kAttachFrom) {
    wire["attached"] = {attachment->size(), bytes.size()};
    attachment->append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else {
    wire["bytes"] = Base64Encode(bytes);
  }
}

// A packed array's elements: a byte each needs no "of"; numbers go packed in
// "bytes" or "attached" with their VARTYPE in "of"; texts as "values". False,
// with `wire` untouched, when the array cannot go so: a text holding a lone
// surrogate has no UTF-8 form.
bool PutPacked(Json& wire, const PackedArray& packed, std::string* attachment) {
  if (packed.element == VT_BSTR) {
    if (!std::all_of(packed.texts.begin(), packed.texts.end(),
                     [](const std::u16string& text) { return IsWellFormedUtf16(text); })) {
      return false;
    }
    Json values = Json::array();
    values.get_ref<Json::array_t&>().reserve(packed.texts.size());
    for (const std::u16string& text : packed.texts) values.push_back(Utf16ToUtf8(text));
    wire["of"] = VT_BSTR;
    wire["values"] = std::move(values);
    return true;
  }
  if (packed.element != VT_UI1) wire["of"] = packed.element;
  PutByteData(wire, packed.data, attachment);
  return true;
}

Json EncodePackedArray(const PackedArray& packed, ObjectMarshal& objects, std::string* attachment,
                       bool packed_arrays) {
  Json wire = {{"vt", kVariantArray}};
  if ((packed.element == VT_UI1 || packed_arrays) && PutPacked(wire, packed, attachment)) return wire;
  Json items = Json::array();
  items.get_ref<Json::array_t&>().reserve(packed.size());
  for (size_t i = 0; i < packed.size(); ++i) {
    items.push_back(EncodeVariant(packed.At(i), objects, attachment, packed_arrays));
  }
  wire["items"] = std::move(items);
  return wire;
}

Json EncodeArray(const VariantArray& array, ObjectMarshal& objects, std::string* attachment, bool packed_arrays) {
  Json wire = {{"vt", kVariantArray}};
  if (array.lower_bound != 0) wire["lbound"] = array.lower_bound;
  // Byte data comes as a variant per byte and goes as bytes to every client;
  // other arrays of one type only to a client that reads them packed.
  if (!array.items.empty() && (packed_arrays || array.items.front().vt() == VT_UI1)) {
    const std::optional<PackedArray> packed = PackedArray::Of(array.items);
    if (packed && (packed_arrays || packed->element == VT_UI1) && PutPacked(wire, *packed, attachment)) return wire;
  }
  Json items = Json::array();
  items.get_ref<Json::array_t&>().reserve(array.items.size());
  for (const Variant& item : array.items) items.push_back(EncodeVariant(item, objects, attachment, packed_arrays));
  wire["items"] = std::move(items);
  return wire;
}

// {"vt": vt} and {"vt": vt, "value": value}, built by emplace: the library's
// initializer lists build each pair as an array first, three times the work
// for the small objects most answers are.
Json Tagged(uint16_t vt) {
  Json wire(Json::value_t::object);
  wire.emplace("vt", vt);
  return wire;
}

Json Tagged(uint16_t vt, Json value) {
  Json wire = Tagged(vt);
  wire.emplace("value", std::move(value));
  return wire;
}

}  // namespace

bool IsWellFormedUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    i += AsciiPrefix(text.substr(i));
    if (i == text.size()) break;
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

Json EncodeVariant(const Variant& value, ObjectMarshal& objects, std::string* attachment, bool packed_arrays) {
  const uint16_t vt = value.vt();
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL: return Tagged(vt);
    case VT_I2: return Tagged(vt, value.i2());
    case VT_I4: return Tagged(vt, value.i4());
    case VT_R4: return Tagged(vt, EncodeDouble(value.r4()));
    case VT_R8: return Tagged(vt, EncodeDouble(value.r8()));
    case VT_DATE: return Tagged(vt, EncodeDouble(value.date()));
    case VT_BSTR: return EncodeText(value.bstr());
    case VT_DISPATCH: {
      const Variant::Object& object = value.object();
      if (!object) return {{"vt", vt}, {"handle", nullptr}};
      return {{"vt", vt}, {"handle", objects.Export(object)}, {"class", object->Class().name}};
    }
    case VT_ERROR: return Tagged(vt, value.scode());
    case VT_BOOL: return Tagged(vt, value.boolean());
    case VT_UI1: return Tagged(vt, value.ui1());
    case kVariantArray:
      if (value.is_packed()) return EncodePackedArray(value.packed(), objects, attachment, packed_arrays);
      return EncodeArray(value.array(), objects, attachment, packed_arrays);
    case kByteArray: {
      Json wire = {{"vt", vt}};
      PutByteData(wire, value.bytes(), attachment);
      return wire;
    }
  }
  return {{"vt", VT_EMPTY}};
}

HResult VariantDecoder::Decode(const Json& wire, Variant* out) { return DecodeAt(wire, out, 0); }

HResult VariantDecoder::Fail(HResult hresult, std::string why) {
  error_ = std::move(why);
  return hresult;
}

HResult VariantDecoder::Charge(size_t bytes) {
  if (bytes > limits_.max_bytes - used_bytes_) {
    return Fail(hr::kOutOfMemory, "the arguments would take more memory than one call may use");
  }
  used_bytes_ += bytes;
  return hr::kOk;
}

HResult VariantDecoder::DecodeAt(const Json& wire, Variant* out, int depth) {
  if (depth > limits_.max_depth) return Fail(hr::kTypeMismatch, "arrays nested too deeply");
  if (HResult charged = Charge(sizeof(Variant)); Failed(charged)) return charged;
  // Bare JSON values stand for their natural VARTYPE, for clients that do not care.
  switch (wire.type()) {
    case Json::value_t::null: *out = Variant(); return hr::kOk;
    case Json::value_t::boolean: *out = Variant::Bool(wire.get<bool>()); return hr::kOk;
    case Json::value_t::string: return DecodeUtf8(wire.get_ref<const std::string&>(), out);
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      int64_t n;
      if (IntegerOf(wire, INT32_MIN, INT32_MAX, &n) == IntegerStatus::kOk) {
        *out = Variant::I4(static_cast<int32_t>(n));
      } else {
        *out = Variant::R8(wire.get<double>());
      }
      return hr::kOk;
    }
    case Json::value_t::number_float: *out = Variant::R8(wire.get<double>()); return hr::kOk;
    case Json::value_t::array: return DecodeItems(wire, 0, out, depth);
    case Json::value_t::object: return DecodeTagged(wire, out, depth);
    default: return Fail(hr::kTypeMismatch, "not a variant");
  }
}

HResult VariantDecoder::DecodeTagged(const Json& wire, Variant* out, int depth) {
  const auto vt_field = wire.find("vt");
  int64_t vt;
  if (vt_field == wire.end() || IntegerOf(*vt_field, 0, 0xFFFF, &vt) != IntegerStatus::kOk) {
    return Fail(hr::kBadVarType, "a variant needs a \"vt\" between 0 and 65535");
  }
  const auto value_field = wire.find("value");
  static const Json kAbsent;
  const Json& value = value_field == wire.end() ? kAbsent : *value_field;
  const auto integer = [&](int64_t low, int64_t high, int64_t* n) -> HResult {
    switch (IntegerOf(value, low, high, n)) {
      case IntegerStatus::kOk: return hr::kOk;
      case IntegerStatus::kNotInteger: return Fail(hr::kTypeMismatch, "vt " + std::to_string(vt) + " needs an integer value");
      case IntegerStatus::kOutOfRange: return Fail(hr::kOverflow, "value out of range for vt " + std::to_string(vt));
    }
    return hr::kFail;
  };
  const auto real = [&](double* d) -> HResult {
    const std::optional<double> parsed = DoubleOf(value);
    if (!parsed) return Fail(hr::kTypeMismatch, "vt " + std::to_string(vt) + " needs a number value");
    *d = *parsed;
    return hr::kOk;
  };
  int64_t n = 0;
  double d = 0;
  HResult status = hr::kOk;
  switch (vt) {
    case VT_EMPTY: *out = Variant(); return hr::kOk;
    case VT_NULL: *out = Variant::Null(); return hr::kOk;
    case VT_I2:
      if (Failed(status = integer(INT16_MIN, INT16_MAX, &n))) return status;
      *out = Variant::I2(static_cast<int16_t>(n));
      return hr::kOk;
    case VT_I4:
      if (Failed(status = integer(INT32_MIN, INT32_MAX, &n))) return status;
      *out = Variant::I4(static_cast<int32_t>(n));
      return hr::kOk;
    case VT_UI1:
      if (Failed(status = integer(0, 255, &n))) return status;
      *out = Variant::UI1(static_cast<uint8_t>(n));
      return hr::kOk;
    case VT_ERROR:
      // Clients write scodes either way: -2147352572 or 0x80020004.
      if (Failed(status = integer(INT32_MIN, UINT32_MAX, &n))) return status;
      *out = Variant::Error(static_cast<int32_t>(static_cast<uint32_t>(n)));
      return hr::kOk;
    case VT_R4:
      if (Failed(status = real(&d))) return status;
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        return Fail(hr::kOverflow, "value out of range for vt 4");
      }
      *out = Variant::R4(static_cast<float>(d));
      return hr::kOk;
    case VT_R8:
      if (Failed(status = real(&d))) return status;
      *out = Variant::R8(d);
      return hr::kOk;
    case VT_DATE:
      if (Failed(status = real(&d))) return status;
      if (!std::isfinite(d)) return Fail(hr::kOverflow, "a date must be a finite number of days");
      *out = Variant::Date(d);
      return hr::kOk;
    case VT_BOOL:
      if (!value.is_boolean()) return Fail(hr::kTypeMismatch, "vt 11 needs true or false");
      *out = Variant::Bool(value.get<bool>());
      return hr::kOk;
    case VT_BSTR: return DecodeText(wire, out);
    case VT_DISPATCH: {
      const auto handle = wire.find("handle");
      if (handle == wire.end() || handle->is_null()) {
        *out = Variant::FromObject(nullptr);
        return hr::kOk;
      }
      if (!handle->is_number_unsigned() && !(handle->is_number_integer() && handle->get<int64_t>() >= 0)) {
        return Fail(hr::kTypeMismatch, "an object handle is a non-negative integer");
      }
      Variant::Object object;
      if (HResult found = objects_.Import(handle->get<uint64_t>(), &object); Failed(found)) {
        return Fail(found, "no object has handle " + handle->dump());
      }
      *out = Variant::FromObject(std::move(object));
      return hr::kOk;
    }
    case kVariantArray: return DecodeArray(wire, out, depth);
    case kByteArray: {
      if (!wire.contains("bytes") && !wire.contains("attached")) {
        return Fail(hr::kTypeMismatch, "vt 8209 needs \"bytes\" or \"attached\"");
      }
      std::vector<uint8_t> bytes;
      if (Failed(status = DecodeByteData(wire, 1, 1, &bytes))) return status;
      *out = Variant::Bytes(std::move(bytes));
      return hr::kOk;
    }
  }
  return Fail(hr::kBadVarType, "vt " + std::to_string(vt) + " is not a type this server takes");
}

HResult VariantDecoder::DecodeText(const Json& wire, Variant* out) {
  if (const auto units = wire.find("utf16"); units != wire.end()) {
    if (!units->is_string()) return Fail(hr::kTypeMismatch, "\"utf16\" is base64 text");
    const std::string& encoded = units->get_ref<const std::string&>();
    if (HResult charged = Charge(encoded.size()); Failed(charged)) return charged;
    std::optional<std::vector<uint8_t>> bytes = Base64Decode(encoded);
    if (!bytes || bytes->size() % 2 != 0) return Fail(hr::kTypeMismatch, "\"utf16\" is not base64 of UTF-16LE");
    std::u16string text(bytes->size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>((*bytes)[2 * i] | ((*bytes)[2 * i + 1] << 8));
    }
    *out = Variant::Bstr(std::move(text));
    return hr::kOk;
  }
  const auto value = wire.find("value");
  if (value == wire.end() || !value->is_string()) return Fail(hr::kTypeMismatch, "vt 8 needs a string value");
  return DecodeUtf8(value->get_ref<const std::string&>(), out);
}

HResult VariantDecoder::DecodeUtf8(const std::string& utf8, Variant* out) {
  if (HResult charged = Charge(utf8.size() * 2); Failed(charged)) return charged;
  *out = Variant::Bstr(Utf8ToUtf16(utf8));
  return hr::kOk;
}

HResult VariantDecoder::DecodeArray(const Json& wire, Variant* out, int depth) {
  int64_t lower_bound = 0;
  if (const auto lbound = wire.find("lbound"); lbound != wire.end()) {
    if (IntegerOf(*lbound, INT32_MIN, INT32_MAX, &lower_bound) != IntegerStatus::kOk) {
      return Fail(hr::kTypeMismatch, "\"lbound\" is a 32-bit integer");
    }
  }
  if (wire.contains("of") || wire.contains("bytes") || wire.contains("attached")) {
    return DecodePacked(wire, static_cast<int32_t>(lower_bound), out);
  }
  const auto items = wire.find("items");
  if (items == wire.end() || !items->is_array()) {
    return Fail(hr::kTypeMismatch, "an array needs \"items\", \"bytes\" or \"attached\"");
  }
  return DecodeItems(*items, static_cast<int32_t>(lower_bound), out, depth);
}

// An array of variants of one type, its elements packed: "of" names their
// VARTYPE (UI1 when absent). A 0-based array stays packed, an element's own
// size per element; another lower bound needs a variant per element.
HResult VariantDecoder::DecodePacked(const Json& wire, int32_t lower_bound, Variant* out) {
  PackedArray packed;
  if (const auto of = wire.find("of"); of != wire.end()) {
    int64_t element = 0;
    if (IntegerOf(*of, 0, 0xFFFF, &element) != IntegerStatus::kOk ||
        !PackedArray::Packs(static_cast<uint16_t>(element))) {
      return Fail(hr::kBadVarType, "\"of\" is the VARTYPE of a packed array's elements: 2, 3, 4, 5, 7, 8, 11 or 17");
    }
    packed.element = static_cast<VarType>(element);
  }
  if (packed.element == VT_BSTR) {
    const auto values = wire.find("values");
    if (values == wire.end() || !values->is_array()) {
      return Fail(hr::kTypeMismatch, "an array of texts needs \"values\"");
    }
    return DecodeTexts(*values, lower_bound, out);
  }
  if (!wire.contains("bytes") && !wire.contains("attached")) {
    return Fail(hr::kTypeMismatch, "a packed array needs \"bytes\" or \"attached\"");
  }
  const size_t element_size = PackedArray::ElementSize(packed.element);
  const size_t cost = lower_bound == 0 ? element_size : sizeof(Variant);
  if (HResult status = DecodeByteData(wire, element_size, cost, &packed.data); Failed(status)) return status;
  const size_t count = packed.size();
  if (static_cast<int64_t>(count) - 1 > int64_t{INT32_MAX} - lower_bound) {
    return Fail(hr::kOverflow, "the array's upper bound would overflow");
  }
  // The scalar forms' rules hold for each element.
  if (packed.element == VT_BOOL &&
      !std::all_of(packed.data.begin(), packed.data.end(), [](uint8_t byte) { return byte <= 1; })) {
    return Fail(hr::kTypeMismatch, "a packed Boolean is 0 or 1");
  }
  if (packed.element == VT_DATE) {
    for (size_t i = 0; i < count; ++i) {
      if (!std::isfinite(packed.Get<double>(i))) return Fail(hr::kOverflow, "a date must be a finite number of days");
    }
  }
  if (lower_bound == 0) {
    *out = Variant::Packed(std::move(packed));
    return hr::kOk;
  }
  VariantArray array;
  array.lower_bound = lower_bound;
  array.items.reserve(count);
  for (size_t i = 0; i < count; ++i) array.items.push_back(packed.At(i));
  *out = Variant::FromArray(std::move(array));
  return hr::kOk;
}

HResult VariantDecoder::DecodeTexts(const Json& values, int32_t lower_bound, Variant* out) {
  if (static_cast<int64_t>(values.size()) - 1 > int64_t{INT32_MAX} - lower_bound) {
    return Fail(hr::kOverflow, "the array's upper bound would overflow");
  }
  const size_t cost = lower_bound == 0 ? sizeof(std::u16string) : sizeof(Variant);
  if (HResult charged = Charge(values.size() * cost); Failed(charged)) return charged;
  PackedArray packed;
  packed.element = VT_BSTR;
  packed.texts.reserve(values.size());
  for (const Json& value : values) {
    if (!value.is_string()) return Fail(hr::kTypeMismatch, "the values of an array of texts are strings");
    const std::string& utf8 = value.get_ref<const std::string&>();
    if (HResult charged = Charge(utf8.size() * 2); Failed(charged)) return charged;
    packed.texts.push_back(Utf8ToUtf16(utf8));
  }
  if (lower_bound == 0) {
    *out = Variant::Packed(std::move(packed));
    return hr::kOk;
  }
  VariantArray array;
  array.lower_bound = lower_bound;
  array.items.reserve(packed.texts.size());
  for (std::u16string& text : packed.texts) array.items.push_back(Variant::Bstr(std::move(text)));
  *out = Variant::FromArray(std::move(array));
  return hr::kOk;
}

// Byte data, as base64 text ("bytes") or as [offset, length] in the frame's
// attachment ("attached"): whole elements of `element_size` bytes, each charged
// `cost_per_element` before anything is made, since the text or the length
// alone says how much it makes.
HResult VariantDecoder::DecodeByteData(const Json& wire, size_t element_size, size_t cost_per_element,
                                       std::vector<uint8_t>* out) {
  const auto whole = [&](uint64_t length) -> HResult {
    if (length % element_size == 0) return hr::kOk;
    return Fail(hr::kTypeMismatch, std::to_string(length) + " bytes are no whole number of " +
                                       std::to_string(element_size) + "-byte elements");
  };
  if (const auto attached = wire.find("attached"); attached != wire.end()) {
    int64_t offset = 0;
    int64_t length = 0;
    if (!attached->is_array() || attached->size() != 2 ||
        IntegerOf((*attached)[0], 0, INT64_MAX, &offset) != IntegerStatus::kOk ||
        IntegerOf((*attached)[1], 0, INT64_MAX, &length) != IntegerStatus::kOk) {
      return Fail(hr::kTypeMismatch, "\"attached\" is [offset, length]");
    }
    if (static_cast<uint64_t>(offset) > attachment_.size() ||
        static_cast<uint64_t>(length) > attachment_.size() - static_cast<uint64_t>(offset)) {
      return Fail(hr::kTypeMismatch, "\"attached\" reaches past the frame's attachment of " +
                                         std::to_string(attachment_.size()) + " bytes");
    }
    if (HResult status = whole(static_cast<uint64_t>(length)); Failed(status)) return status;
    if (HResult charged = Charge(static_cast<size_t>(length) / element_size * cost_per_element); Failed(charged)) {
      return charged;
    }
    const auto* first = reinterpret_cast<const uint8_t*>(attachment_.data()) + offset;
    out->assign(first, first + length);
    return hr::kOk;
  }
  const auto text = wire.find("bytes");
  if (!text->is_string()) return Fail(hr::kTypeMismatch, "\"bytes\" is base64 text");
  const std::string& encoded = text->get_ref<const std::string&>();
  if (HResult charged = Charge(encoded.size() / 4 * 3 / element_size * cost_per_element); Failed(charged)) {
    return charged;
  }
  std::optional<std::vector<uint8_t>> decoded = Base64Decode(encoded);
  if (!decoded) return Fail(hr::kTypeMismatch, "\"bytes\" is not base64");
  if (HResult status = whole(decoded->size()); Failed(status)) return status;
  *out = std::move(*decoded);
  return hr::kOk;
}

HResult VariantDecoder::DecodeItems(const Json& items, int32_t lower_bound, Variant* out, int depth) {
  if (static_cast<int64_t>(items.size()) - 1 > int64_t{INT32_MAX} - lower_bound) {
    return Fail(hr::kOverflow, "the array's upper bound would overflow");
  }
  VariantArray array;
  array.lower_bound = lower_bound;
  array.items.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (HResult status = DecodeAt(items[i], &array.items[i], depth + 1); Failed(status)) return status;
  }
  *out = Variant::FromArray(std::move(array));
  return hr::kOk;
}

}  // namespace quillon::server
