// Location: the read-only result of IPInfo.GetLocationFromIP. Clients cannot
// create one; each IPInfo owns one for its whole life and refills it.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "core/dispatch.h"

namespace quillon {

struct LocationData {
  std::u16string country;
  std::u16string country_code;
  std::u16string region;
  std::u16string city;
  std::u16string zip_code;
  std::u16string area_code;
  bool valid = false;
};

class Location : public AutomationObject {
 public:
  explicit Location(const ClassInfo& info) : AutomationObject(info) {}

  // Replaces every field at once.
  void SetData(LocationData data) { data_ = std::move(data); }
  const LocationData& data() const { return data_; }

 protected:
  Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) override;

 private:
  LocationData data_;
};

}  // namespace quillon
