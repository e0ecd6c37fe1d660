#include "ipinfo/ip_info.h"

#include <limits>
#include <string>
#include <vector>

#include "core/file_checks.h"
#include "core/convert.h"
#include "core/host.h"
#include "core/path.h"
#include "core/registry.h"
#include "core/text.h"
#include "ipinfo/region_names.h"

namespace quillon {
namespace {

constexpr int32_t kLongestTimeOutMs = 60000;
constexpr char16_t kDatabasePathInvalid[] = u"Database path invalid";
constexpr char16_t kDatabaseFileName[] = u"GEOIPCITY.DAT";

}  // namespace

IPInfo::IPInfo(Host& host, std::shared_ptr<LookupEngine> engine, std::string working_folder)
    : AutomationObject(*host.library().FindClass("IPInfo")),
      files_(host.env(), std::move(working_folder)),
      current_location_(std::make_shared<Location>(*host.library().FindClass("Location"))),
      engine_(std::move(engine)),
      events_(*Class().events()) {}

IPInfo::~IPInfo() {
  // Only this object's reception ends; the engine, its started state and any
  // pending lookup stay with the IPInfo objects that remain.
  engine_->Unsubscribe(subscription_);
}

std::shared_ptr<IPInfo> CreateIPInfo(Host& host, std::shared_ptr<LookupEngine> engine, std::string working_folder) {
  auto info = std::make_shared<IPInfo>(host, std::move(engine), std::move(working_folder));
  IPInfo* self = info.get();
  info->subscription_ = info->engine_->Subscribe(
      info, [self](const HostNameResult& result) { self->OnHostNameResolved(result); });
  return info;
}

std::shared_ptr<Dispatch> CreateIPInfo(Host& host, ClientScope& scope) {
  // The host and the loop outlive every engine: the factory may keep them.
  ClientScope* const client = &scope;
  Host* const process = &host;
  asio::io_context* const loop = &scope.loop();
  std::shared_ptr<LookupEngine> engine = scope.SharedEngine<LookupEngine>([client, process, loop] {
    return std::make_shared<LookupEngine>(*loop, [client, process, loop] {
      ResolverSettings settings;
      settings.dns_servers = client->network(process->network()).dns_servers;
      // One second a try: with a silent first server, the second still gets its
      // turn well inside the default TimeOut of 5000 ms.
      settings.attempt_timeout_ms = 1000;
      settings.attempts = 3;
      return MakeSystemReverseResolver(*loop, settings);
    });
  });
  return CreateIPInfo(host, std::move(engine), scope.working_folder());
}

Variant IPInfo::InvokeMember(const MemberInfo& member, std::span<Variant> args) {
  using Args = std::span<Variant>;
  static const MemberTable<IPInfo> members(Class().interface, {
      {"ErrorString", [](IPInfo& o, Args) { return o.ErrorString(); }},
      {"TimeOut", [](IPInfo& o, Args a) { o.TimeOut(a[0]); return Variant(); }},
      {"Busy", [](IPInfo& o, Args) { return o.Busy(); }},
      {"EnableHostNameData", [](IPInfo& o, Args) { return o.EnableHostNameData(); }},
      {"GetHostNameFromIP", [](IPInfo& o, Args a) { o.GetHostNameFromIP(a[0]); return Variant(); }},
      {"EnableLocationData", [](IPInfo& o, Args a) { return o.EnableLocationData(a[0]); }},
      {"GetLocationFromIP", [](IPInfo& o, Args a) { return o.GetLocationFromIP(a[0]); }},
  });
  return members.Run(*this, member, args);
}

// ---- Host names ----

Variant IPInfo::ErrorString() const { return Variant::Bstr(last_error_); }

void IPInfo::TimeOut(Variant& value) {
  if (!IsNumeric(value)) return;
  try {
    const double milliseconds = ToDouble(value);
    // Beyond the longest time-out every value is the longest, however large;
    // below the 32-bit range it is negative, which the engine refuses anyway.
    if (milliseconds > kLongestTimeOutMs) {
      engine_->SetTimeOut(kLongestTimeOutMs);
    } else if (milliseconds >= std::numeric_limits<int32_t>::min()) {
      engine_->SetTimeOut(ToLong(value));
    }
  } catch (const RuntimeError&) {
    // Silent, as scripts expect: a value that does not convert changes nothing.
  }
}

Variant IPInfo::Busy() const { return Variant::Bool(is_busy_); }

Variant IPInfo::EnableHostNameData() {
  if (host_name_enabled_) {
    last_error_.clear();
    return Variant::I4(0);
  }
  std::u16string text;
  const int32_t code = engine_->StartUp(&text);
  if (code == 0) host_name_enabled_ = true;
  last_error_ = std::move(text);
  return Variant::I4(code);
}

void IPInfo::GetHostNameFromIP(Variant& ip) {
  std::u16string text;
  try {
    text = ToText(ip);
  } catch (const RuntimeError&) {
    // Looked up as "", which the engine reports as an invalid address.
  }
  is_busy_ = true;
  ++requests_made_;
  engine_->GetHostName(text);
}

void IPInfo::OnHostNameResolved(const HostNameResult& result) {
  const uint64_t requests_before = requests_made_;
  std::vector<Variant> args = {Variant::Bstr(result.ip), Variant::Bstr(result.host), Variant::I4(result.code)};
  static const DispId on_host_name_result = events_.interface().FindByName("OnHostNameResult")->dispid;
  events_.Raise(on_host_name_result, args);
  // A handler that started another lookup through this object is waiting for
  // it: Busy stays True until that one is reported.
  if (requests_made_ == requests_before) is_busy_ = false;
}

// ---- Locations ----

Variant IPInfo::EnableLocationData(Variant& db_path) {
  location_enabled_ = false;
  try {
    locator_ = std::make_unique<GeoCityLocator>(files_);
    const std::u16string path = ToText(db_path);
    if (!FileExists(files_, std::u16string_view(path))) {
      last_error_ = kDatabasePathInvalid;
      return Variant::I2(2);
    }
    const std::u16string file_name = NameOf(path);
    if (ToUpperText(file_name) != kDatabaseFileName) {
      last_error_ = kDatabasePathInvalid;
      return Variant::I2(2);
    }
    database_folder_ = FolderOf(path);
    ThrowIfFailed(locator_->SetDatabaseFolder(database_folder_, file_name));
    region_table_ = LoadRegionTable();
  } catch (const RuntimeError& failure) {
    last_error_ = failure.description();
    return Variant::I4(failure.number());
  } catch (const std::bad_alloc&) {
    const RuntimeError failure(rt::kOutOfMemory);
    last_error_ = failure.description();
    return Variant::I4(failure.number());
  }
  location_enabled_ = true;
  last_error_.clear();
  return Variant::I2(0);
}

Variant IPInfo::GetLocationFromIP(Variant& ip) {
  LocationData data;
  if (location_enabled_ && locator_) {
    bool found = false;
    try {
      found = locator_->FindAddress(ToText(ip));
    } catch (const RuntimeError&) {
      // An address that cannot be read as text is not found.
    }
    if (found) {
      data.country = locator_->GetCountryName();
      data.country_code = locator_->GetCountryCode();
      data.region = RegionName(region_table_, locator_->GetCountryCode(), locator_->GetRegionCode());
      data.city = locator_->GetCity();
      if (data.country_code == u"US" || data.country_code == u"CA") data.zip_code = locator_->GetPostalCode();
      data.area_code = AsciiToText(std::to_string(locator_->GetAreaCode()));
      data.valid = true;
    }
  }
  current_location_->SetData(std::move(data));
  return Variant::FromObject(current_location_);
}

}  // namespace quillon
