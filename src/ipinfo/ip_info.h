// IPInfo: turns an IPv4 address into its host name (asynchronously, answered
// by the event OnHostNameResult or seen through Busy) and into a Location.
//
// The IPInfo objects of one client connection share one lookup engine: a
// lookup started through any of them is reported by all of them. The engine
// lives while any of them does, so destroying one leaves the others working.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/dispatch.h"
#include "core/events.h"
#include "core/working_folder_env.h"
#include "ipinfo/geo_city_locator.h"
#include "ipinfo/location.h"
#include "ipinfo/lookup_engine.h"

namespace quillon {

class ClientScope;
class Host;

class IPInfo : public AutomationObject {
 public:
  // Use CreateIPInfo: the object has to be shared before it can subscribe.
  // Relative database paths start in `working_folder` (empty: the process's own).
  IPInfo(Host& host, std::shared_ptr<LookupEngine> engine, std::string working_folder = {});
  ~IPInfo() override;

  ConnectionPoint* Events() override { return &events_; }

 protected:
  Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) override;

 private:
  friend std::shared_ptr<IPInfo> CreateIPInfo(Host& host, std::shared_ptr<LookupEngine> engine,
                                              std::string working_folder);

  // Host names.
  Variant ErrorString() const;
  void TimeOut(Variant& value);
  Variant Busy() const;
  Variant EnableHostNameData();
  void GetHostNameFromIP(Variant& ip);
  void OnHostNameResolved(const HostNameResult& result);
  // Locations.
  Variant EnableLocationData(Variant& db_path);
  Variant GetLocationFromIP(Variant& ip);

  WorkingFolderEnv files_;  // the client's view of the files, for the city database
  bool host_name_enabled_ = false;
  bool location_enabled_ = false;
  std::unique_ptr<GeoCityLocator> locator_;
  std::shared_ptr<Location> current_location_;
  std::u16string database_folder_;
  std::u16string region_table_;
  bool is_busy_ = false;
  std::u16string last_error_;
  std::shared_ptr<LookupEngine> engine_;
  uint64_t subscription_ = 0;
  uint64_t requests_made_ = 0;  // tells whether a handler asked for another lookup
  ConnectionPoint events_;
};

// An IPInfo bound to the client's one lookup engine, made on first use; its
// lookups ask the DNS servers the client's network settings name.
std::shared_ptr<Dispatch> CreateIPInfo(Host& host, ClientScope& scope);
// An IPInfo bound to a given engine.
std::shared_ptr<IPInfo> CreateIPInfo(Host& host, std::shared_ptr<LookupEngine> engine,
                                     std::string working_folder = {});

}  // namespace quillon
