#include "ipinfo/location.h"

#include "host/status.h"

namespace quillon {
namespace {

// DISPIDs of _Location; clients that bind early cache these, so they never move.
namespace id {
constexpr DispId kValid = 0x68030006;
constexpr DispId kCountry = 0x68030005;
constexpr DispId kCountryCode = 0x68030004;
constexpr DispId kRegion = 0x68030003;
constexpr DispId kCity = 0x68030002;
constexpr DispId kZipCode = 0x68030001;
constexpr DispId kAreaCode = 0x68030000;
}  // namespace id

}  // namespace

Location::Location() : AutomationObject(*QuillonTypeLibrary().FindClass("Location")) {}

Variant Location::InvokeMember(const MemberInfo& member, std::span<Variant>) {
  switch (member.dispid) {
    case id::kValid: return Variant::Bool(data_.valid);
    case id::kCountry: return Variant::Bstr(data_.country);
    case id::kCountryCode: return Variant::Bstr(data_.country_code);
    case id::kRegion: return Variant::Bstr(data_.region);
    case id::kCity: return Variant::Bstr(data_.city);
    case id::kZipCode: return Variant::Bstr(data_.zip_code);
    case id::kAreaCode: return Variant::Bstr(data_.area_code);
  }
  throw RuntimeError(rt::kInvalidProcedureCall);
}

}  // namespace quillon
