#include "event_probe.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <asio/steady_timer.hpp>

#include "core/convert.h"
#include "core/events.h"
#include "core/status.h"
#include "core/text.h"

namespace quillon::testing {
namespace {

using K = MemberKind;
constexpr ResultKind kNone = ResultKind::kNone;
constexpr ResultKind kVar = ResultKind::kVariant;
constexpr ResultKind kObj = ResultKind::kObject;

enum : DispId {
  kValue = 0x68030000,
  kStore = 0x68030001,
  kLive = 0x68030002,
  kRaise = 0x60030000,
  kRaiseTicks = 0x60030001,
  kRaiseChild = 0x60030002,
  kEcho = 0x60030003,
  kSwap = 0x60030004,
  kFail = 0x60030005,
  kChild = 0x60030006,
  kSelf = 0x60030007,
  kBig = 0x60030008,
  kMarkOnEnd = 0x60030009,
  kRaiseLater = 0x6003000A,
};
enum : DispId { kOnValue = 1, kOnTick = 2, kOnChild = 3 };

const ClassInfo& ProbeClass() {
  static const ClassInfo info{
      "EventProbe",
      "{5B0C7A8E-2E4F-4C51-9D0B-7F1E3A6C2D90}",
      true,
      "Quillon.EventProbe",
      {"_EventProbe", "{5B0C7A8E-2E4F-4C51-9D0B-7F1E3A6C2D91}", {
          {"Value", kValue, K::kPropertyGet, {}, kVar, "What Store last put."},
          {"Store", kStore, K::kPropertyPut, {"value"}, kNone, "Write-only."},
          {"Live", kLive, K::kPropertyGet, {}, kVar, "Probes alive in the server."},
          {"Raise", kRaise, K::kMethod, {"Value"}, kVar, "Raises OnValue; returns the sinks left."},
          {"RaiseTicks", kRaiseTicks, K::kMethod, {"Count"}, kVar, "Raises OnTick 1..Count."},
          {"RaiseChild", kRaiseChild, K::kMethod, {}, kNone, "Raises OnChild with a new probe."},
          {"Echo", kEcho, K::kMethod, {"Value"}, kVar, ""},
          {"Swap", kSwap, K::kMethod, {"A", "B"}, kNone, ""},
          {"Fail", kFail, K::kMethod, {"Number"}, kVar, "Raises run-time error Number."},
          {"Child", kChild, K::kMethod, {}, kObj, "", "EventProbe"},
          {"Self", kSelf, K::kMethod, {}, kObj, "", "EventProbe"},
          {"Big", kBig, K::kMethod, {"Chars"}, kVar, "Text of Chars characters."},
          {"MarkOnEnd", kMarkOnEnd, K::kMethod, {"Path"}, kNone, "Appends a line to Path when the probe ends."},
          {"RaiseLater", kRaiseLater, K::kMethod, {"Milliseconds", "Value"}, kNone,
           "Raises OnValue from a timer, outside any call."},
      }},
      true,
      {"__EventProbe", "{5B0C7A8E-2E4F-4C51-9D0B-7F1E3A6C2D92}", {
          {"OnValue", kOnValue, K::kEvent, {"Value"}, kNone, ""},
          {"OnTick", kOnTick, K::kEvent, {"N"}, kNone, ""},
          {"OnChild", kOnChild, K::kEvent, {"Child"}, kNone, ""},
      }},
  };
  return info;
}

std::atomic<int> live_probes{0};  // every client's thread counts here

class EventProbe final : public AutomationObject, public std::enable_shared_from_this<EventProbe> {
 public:
  explicit EventProbe(asio::io_context& loop)
      : AutomationObject(ProbeClass()), loop_(loop), events_(ProbeClass().event_interface), timer_(loop) {
    ++live_probes;
  }
  ~EventProbe() override {
    --live_probes;
    if (mark_path_.empty()) return;
    if (std::FILE* mark = std::fopen(mark_path_.c_str(), "a")) {
      std::fputs("ended\n", mark);
      std::fclose(mark);
    }
  }

  ConnectionPoint* Events() override { return &events_; }

 protected:
  Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) override {
    switch (member.dispid) {
      case kValue: return value_;
      case kStore: value_ = args[0]; return {};
      case kLive: return Variant::I4(live_probes.load());
      case kRaise: {
        Variant copy = args[0];
        events_.Raise(kOnValue, std::span<Variant>(&copy, 1));
        return Variant::I4(static_cast<int32_t>(events_.sink_count()));
      }
      case kRaiseTicks: {
        const int32_t count = ToLong(args[0]);
        if (count < 0 || count > 10000) throw RuntimeError(rt::kInvalidProcedureCall);
        for (int32_t i = 1; i <= count; ++i) {
          Variant tick = Variant::I4(i);
          events_.Raise(kOnTick, std::span<Variant>(&tick, 1));
        }
        return Variant::I4(count);
      }
      case kRaiseChild: {
        Variant child = Variant::FromObject(std::make_shared<EventProbe>(loop_));
        events_.Raise(kOnChild, std::span<Variant>(&child, 1));
        return {};
      }
      case kEcho: return args[0];
      case kSwap: std::swap(args[0], args[1]); return {};
      case kFail: throw RuntimeError(ToLong(args[0]));
      case kChild: return Variant::FromObject(std::make_shared<EventProbe>(loop_));
      case kSelf: return Variant::FromObject(shared_from_this());
      case kBig: {
        const int32_t chars = ToLong(args[0]);
        if (chars < 0) throw RuntimeError(rt::kInvalidProcedureCall);
        return Variant::Bstr(std::u16string(static_cast<size_t>(chars), u'x'));
      }
      case kMarkOnEnd: mark_path_ = Utf16ToUtf8(ToText(args[0])); return {};
      case kRaiseLater: {
        timer_.expires_after(std::chrono::milliseconds(ToLong(args[0])));
        timer_.async_wait([weak = weak_from_this(), value = args[1]](std::error_code error) mutable {
          // Held for the whole event, as an engine holds itself in its own callback.
          if (auto self = weak.lock(); self && !error) self->events_.Raise(kOnValue, std::span<Variant>(&value, 1));
        });
        return {};
      }
    }
    throw RuntimeError(rt::kInvalidProcedureCall);
  }

 private:
  asio::io_context& loop_;
  ConnectionPoint events_;
  asio::steady_timer timer_;
  Variant value_;
  std::string mark_path_;
};

}  // namespace

void RegisterEventProbe(ClassRegistry& registry, TypeLibrary& library) {
  library.classes.push_back(ProbeClass());
  registry.Register(ProbeClass(),
                    [](Host&, ClientScope& scope) { return std::make_shared<EventProbe>(scope.loop()); });
}

}  // namespace quillon::testing
