#include "ipinfo/location.h"

#include "core/status.h"

namespace quillon {

Variant Location::InvokeMember(const MemberInfo& member, std::span<Variant> args) {
  using Args = std::span<Variant>;
  static const MemberTable<Location> members(Class().interface, {
      {"Valid", [](Location& o, Args) { return Variant::Bool(o.data_.valid); }},
      {"Country", [](Location& o, Args) { return Variant::Bstr(o.data_.country); }},
      {"CountryCode", [](Location& o, Args) { return Variant::Bstr(o.data_.country_code); }},
      {"Region", [](Location& o, Args) { return Variant::Bstr(o.data_.region); }},
      {"City", [](Location& o, Args) { return Variant::Bstr(o.data_.city); }},
      {"ZipCode", [](Location& o, Args) { return Variant::Bstr(o.data_.zip_code); }},
      {"AreaCode", [](Location& o, Args) { return Variant::Bstr(o.data_.area_code); }},
  });
  return members.Run(*this, member, args);
}

}  // namespace quillon
