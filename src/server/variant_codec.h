// Variants as JSON, keeping their VARTYPE: {"vt": 3, "value": 42}. Byte data
// travels as base64 ("bytes"), or raw in the frame's attachment ("attached":
// [offset, length]) between parties that agreed on it; so does an array of
// variants of one numeric type, its elements packed little-endian ("of" names
// their VARTYPE), and one of texts as a list of strings ("values"). Objects
// travel as handles that a connection hands out. Pure code: the only outside
// party is the ObjectMarshal the caller passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/errors.h"
#include "core/variant.h"

namespace quillon::server {

using Json = nlohmann::json;

// How objects cross the wire: the connection hands out handles and takes them back.
class ObjectMarshal {
 public:
  virtual ~ObjectMarshal() = default;
  // The handle that stands for `object` (the client now holds one more reference).
  virtual uint64_t Export(const Variant::Object& object) = 0;
  // The object behind a handle; RPC_E_DISCONNECTED for one the client does not hold.
  virtual HResult Import(uint64_t handle, Variant::Object* object) = 0;
};

// Byte data from this size up goes in the attachment, when there is one.
inline constexpr size_t kAttachFrom = 512;

// With `attachment`, byte data of kAttachFrom bytes or more is appended to it
// instead of written as base64. With `packed_arrays` (the client said it reads
// them), an array of variants of one type other than UI1 goes packed ("of");
// without, as "items". Arrays of UI1 variants go as "bytes" either way.
Json EncodeVariant(const Variant& value, ObjectMarshal& objects, std::string* attachment = nullptr,
                   bool packed_arrays = false);

struct DecodeLimits {
  int max_depth = 64;
  // What the decoded values may occupy in memory. A variant per byte costs about
  // forty times the byte, so a frame well under the frame limit can still ask
  // for more memory than the process should give one call.
  size_t max_bytes = size_t{2} << 30;
};

// Decodes the arguments of one call; the memory budget spans all of them.
class VariantDecoder {
 public:
  explicit VariantDecoder(ObjectMarshal& objects, DecodeLimits limits = {})
      : objects_(objects), limits_(limits) {}

  // S_OK, or the HRESULT to report (DISP_E_BADVARTYPE, DISP_E_TYPEMISMATCH,
  // DISP_E_OVERFLOW, E_OUTOFMEMORY, RPC_E_DISCONNECTED) with error() saying why.
  HResult Decode(const Json& wire, Variant* out);
  const std::string& error() const { return error_; }
  // The attachment of the frame the values came in; "attached" data points into it.
  void set_attachment(std::string_view attachment) { attachment_ = attachment; }

 private:
  HResult DecodeAt(const Json& wire, Variant* out, int depth);
  HResult DecodeTagged(const Json& wire, Variant* out, int depth);
  HResult DecodeArray(const Json& wire, Variant* out, int depth);
  HResult DecodeItems(const Json& items, int32_t lower_bound, Variant* out, int depth);
  HResult DecodeText(const Json& wire, Variant* out);
  HResult DecodeUtf8(const std::string& utf8, Variant* out);
  HResult DecodePacked(const Json& wire, int32_t lower_bound, Variant* out);
  HResult DecodeTexts(const Json& values, int32_t lower_bound, Variant* out);
  HResult DecodeByteData(const Json& wire, size_t element_size, size_t cost_per_element, std::vector<uint8_t>* out);
  HResult Charge(size_t bytes);
  HResult Fail(HResult hresult, std::string why);

  ObjectMarshal& objects_;
  DecodeLimits limits_;
  std::string_view attachment_;
  size_t used_bytes_ = 0;
  std::string error_;
};

// True when the text has no unpaired surrogate, so it has a UTF-8 form.
bool IsWellFormedUtf16(std::u16string_view text);

}  // namespace quillon::server
