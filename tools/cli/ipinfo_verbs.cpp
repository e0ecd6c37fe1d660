// quillon host and quillon locate: an IPInfo's reverse lookups and its
// Location, one address after another.
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/session.h"
#include "cli/verbs.h"
#include "core/convert.h"
#include "core/ipv4_text.h"
#include "core/text.h"
#include "ipinfo/geo_city_writer.h"
#include "ipinfo/lookup_engine.h"

namespace quillon::cli {
namespace {

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

size_t WidestOf(const std::vector<std::string>& texts) {
  size_t widest = 0;
  for (const std::string& text : texts) widest = std::max(widest, text.size());
  return widest;
}

// Why a lookup gave no name, by its result code.
std::string LookupReason(int32_t code, int32_t timeout_ms) {
  switch (code) {
    case host_name::kNotStarted:
      return "host-name lookups are not enabled";
    case host_name::kInvalidAddress:
      return "not an IPv4 address";
    case host_name::kRefused:
      return "the lookup could not be started";
    case host_name::kFailed:
      return "no host name found";
    case host_name::kTimedOut:
      return "no answer within " + std::to_string(timeout_ms) + " ms";
  }
  return "lookup failed with code " + std::to_string(code);
}

class HostVerb final : public Verb {
 public:
  explicit HostVerb(CLI::App& app)
      : Verb(app.add_subcommand("host", "Look up the host names of IPv4 addresses (IPInfo.GetHostNameFromIP)")) {
    CLI::App* c = command();
    c->add_option("ADDRESS", addresses_, "IPv4 addresses, dotted (127.0.0.1)")->required()->type_name("");
    c->add_option("--timeout", timeout_ms_, "Milliseconds each lookup may take (0: no limit)")
        ->check(CLI::Range(0, 60000))
        ->capture_default_str()
        ->type_name("MS");
    c->footer(
        "Prints one line per address: the address and its name, or the reason in parentheses. Exit status 1\n"
        "when any address got no name. Names come from the system's resolver (the hosts file, then DNS), or\n"
        "only from the servers in QUILLON_DNS_SERVERS=ADDR:PORT[,...] when it is set.\n\n"
        "Example:\n  quillon host 127.0.0.1 192.0.2.5 --timeout 2000");
  }

  int Run() override {
    Session session;
    const std::shared_ptr<Dispatch> object = session.Create(u"Quillon.IPInfo");
    Dispatch& info = *object;
    struct Result {
      std::string host;
      int32_t code;
    };
    std::vector<Result> results;
    const std::shared_ptr<EventSink> sink = EventSink::Connect(info);
    sink->On("OnHostNameResult", [&](std::span<Variant> args) { results.push_back({Utf8(args[1]), ToLong(args[2])}); });

    if (const int32_t enabled = StatusOf(Call(info, "EnableHostNameData")); enabled != 0) {
      throw Failure("cannot start host-name lookups: " + Utf8(Get(info, "ErrorString")));
    }
    Put(info, "TimeOut", Variant::I4(timeout_ms_));

    const size_t width = WidestOf(addresses_) + 2;
    bool all_named = true;
    for (const std::string& address : addresses_) {
      // One at a time: a new lookup supersedes one still pending.
      const size_t before = results.size();
      Call(info, "GetHostNameFromIP", {Text(address)});
      std::optional<Session::Clock::time_point> deadline;
      // The engine times the lookup out itself; this only guards against it not doing so.
      if (timeout_ms_ > 0) deadline = Session::Clock::now() + std::chrono::milliseconds(timeout_ms_ + 5000);
      const bool answered = session.RunUntil([&] { return results.size() > before; }, deadline) == Session::Wait::kDone;
      const Result result = answered ? results.back() : Result{"", host_name::kTimedOut};
      const bool named = result.code == host_name::kFound;
      all_named = all_named && named;
      const std::string shown = named ? result.host : "(" + LookupReason(result.code, timeout_ms_) + ")";
      std::printf("%s%s\n", Padded(address, width).c_str(), shown.c_str());
      std::fflush(stdout);
    }
    return all_named ? kExitOk : kExitFailed;
  }

 private:
  std::vector<std::string> addresses_;
  int timeout_ms_ = 5000;
};

class LocateVerb final : public Verb {
 public:
  explicit LocateVerb(CLI::App& app)
      : Verb(app.add_subcommand("locate",
                                "Find where IPv4 addresses are in a city database (IPInfo.GetLocationFromIP)")) {
    CLI::App* c = command();
    c->add_option("ADDRESS", addresses_, "IPv4 addresses, dotted")->required()->type_name("");
    c->add_option("--db", database_,
                  "The city database, a file named GEOIPCITY.DAT (default: the sample database installed "
                  "beside quillon, ../share/quillon/GEOIPCITY.DAT)")
        ->type_name("PATH");
    c->add_flag("--json", json_, "Print a JSON array: one object per address with the Location's properties");
    c->footer(
        "Exit status 1 when any address is not in the database. The sample database covers only the\n"
        "documentation ranges 192.0.2.0/24, 198.51.100.0/24 and 203.0.113.0/24.\n\n"
        "Example:\n  quillon locate 192.0.2.70 203.0.113.10 --json");
  }

  int Run() override {
    Session session;
    const bool sample = database_.empty();
    std::string database = sample ? SampleCityDatabasePath(session.host().env()) : database_;
    database = std::filesystem::path(database).lexically_normal().string();
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(database, ignored)) {
      throw Failure("no city database at " + database,
                    sample ? "The build writes the sample there (scripts/build.sh); or pass --db PATH/GEOIPCITY.DAT."
                           : "Pass --db the path of a GEOIPCITY.DAT file.");
    }

    const std::shared_ptr<Dispatch> object = session.Create(u"Quillon.IPInfo");
    Dispatch& info = *object;
    if (const int32_t enabled = StatusOf(Call(info, "EnableLocationData", {Text(database)})); enabled != 0) {
      throw Failure("cannot use the city database " + database + ": " + Utf8(Get(info, "ErrorString")),
                    enabled == 2 ? "The database file must be named GEOIPCITY.DAT (in any case)." : "");
    }

    static constexpr const char* kFields[] = {"Country", "CountryCode", "Region", "City", "ZipCode", "AreaCode"};
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    bool all_found = true;
    for (const std::string& address : addresses_) {
      if (!ParseIPv4Text(Utf8ToUtf16(address))) {
        // Not found either, but for a reason the user can fix.
        all_found = false;
        if (json_) {
          nlohmann::ordered_json entry = {{"Address", address}, {"Valid", false}};
          for (const char* field : kFields) entry[field] = "";
          all.push_back(entry);
        } else {
          std::printf("%s  not an IPv4 address (write it dotted, as 192.0.2.70)\n", address.c_str());
        }
        continue;
      }
      const Variant location = Call(info, "GetLocationFromIP", {Text(address)});
      Dispatch& place = *location.object();
      const bool valid = ToBoolean(Get(place, "Valid"));
      all_found = all_found && valid;
      nlohmann::ordered_json entry = {{"Address", address}, {"Valid", valid}};
      for (const char* field : kFields) entry[field] = Utf8(Get(place, field));
      if (json_) {
        all.push_back(entry);
      } else {
        PrintPlace(address, entry);
      }
    }
    if (json_) std::printf("%s\n", all.dump(2).c_str());
    return all_found ? kExitOk : kExitFailed;
  }

 private:
  static void PrintPlace(const std::string& address, const nlohmann::ordered_json& entry) {
    if (!entry["Valid"].get<bool>()) {
      std::printf("%s  not in the database\n", address.c_str());
      return;
    }
    auto field = [&](const char* name) { return entry[name].get<std::string>(); };
    std::printf("%s\n", address.c_str());
    std::printf("  Country    %s (%s)\n", field("Country").c_str(), field("CountryCode").c_str());
    std::printf("  Region     %s\n", field("Region").c_str());
    std::printf("  City       %s\n", field("City").c_str());
    if (!field("ZipCode").empty()) std::printf("  Zip code   %s\n", field("ZipCode").c_str());
    if (field("AreaCode") != "0") std::printf("  Area code  %s\n", field("AreaCode").c_str());
  }

  std::vector<std::string> addresses_;
  std::string database_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Verb> AddHostVerb(CLI::App& app) { return std::make_unique<HostVerb>(app); }
std::unique_ptr<Verb> AddLocateVerb(CLI::App& app) { return std::make_unique<LocateVerb>(app); }

}  // namespace quillon::cli
