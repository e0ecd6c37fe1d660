// The late-bound call path every client goes through: name lookup, the checks
// made before any member code runs, run-time errors as exceptions, by-reference
// arguments, and event delivery to connected sinks.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/convert.h"
#include "core/dispatch.h"
#include "core/events.h"
#include "core/status.h"

namespace quillon {
namespace {

ClassInfo ProbeClass() {
  return {"Probe", "{00000000-0000-0000-0000-000000000001}", true, "Test.Probe",
          {"_Probe", "{00000000-0000-0000-0000-000000000002}", {
               {"Value", 0x68030001, MemberKind::kPropertyGet, {}, ResultKind::kVariant, ""},
               {"Limit", 0x68030000, MemberKind::kPropertyPut, {"value"}, ResultKind::kNone, ""},
               {"Twice", 0x60030002, MemberKind::kMethod, {"Number"}, ResultKind::kVariant, ""},
               {"Fill", 0x60030003, MemberKind::kMethod, {"Target"}, ResultKind::kVariant, ""},
               {"Reset", 0x60030004, MemberKind::kMethod, {}, ResultKind::kNone, ""},
           }},
          true,
          {"__Probe", "{00000000-0000-0000-0000-000000000003}", {
               {"Changed", 1, MemberKind::kEvent, {"NewValue"}, ResultKind::kNone, ""},
           }},
          "ProbeLibrary"};
}

const ClassInfo& Probe() {
  static const ClassInfo info = ProbeClass();
  return info;
}

class ProbeObject : public AutomationObject {
 public:
  ProbeObject() : AutomationObject(Probe()), events_(*Probe().events()) {}
  ConnectionPoint* Events() override { return &events_; }
  int member_calls = 0;
  int32_t limit = 0;

 protected:
  Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) override {
    ++member_calls;
    switch (member.dispid) {
      case 0x68030001: return Variant::I4(limit);
      case 0x68030000: limit = ToLong(args[0]); return {};
      case 0x60030002: return Variant::I4(ToLong(args[0]) * 2);
      case 0x60030003: args[0] = Variant::Bstr(u"filled"); return Variant::I2(0);
      case 0x60030004: return Variant::I4(42);  // a result the type library says is not there
    }
    return {};
  }

 private:
  ConnectionPoint events_;
};

HResult InvokeByName(Dispatch& object, std::u16string_view name, uint16_t flags, std::vector<Variant>& args,
                     Variant* result, ExceptionInfo* exception = nullptr) {
  DispId id = 0;
  HResult status = object.GetIdOfName(name, &id);
  if (Failed(status)) return status;
  ExceptionInfo ignored;
  return object.Invoke(id, flags, args, result, exception ? exception : &ignored);
}

TEST(Dispatch, NamesResolveWithoutRegardToCase) {
  ProbeObject probe;
  DispId a = 0, b = 0;
  EXPECT_EQ(probe.GetIdOfName(u"twice", &a), hr::kOk);
  EXPECT_EQ(probe.GetIdOfName(u"TWICE", &b), hr::kOk);
  EXPECT_EQ(a, 0x60030002);
  EXPECT_EQ(a, b);
  EXPECT_EQ(probe.GetIdOfName(u"Thrice", &a), hr::kUnknownName);
}

TEST(Dispatch, WrongKindsAndCountsAreRefusedBeforeAnyMemberRuns) {
  ProbeObject probe;
  Variant result;
  std::vector<Variant> none;
  std::vector<Variant> one{Variant::I4(1)};
  std::vector<Variant> two{Variant::I4(1), Variant::I4(2)};
  std::vector<Variant> missing{Variant::Missing()};

  EXPECT_EQ(InvokeByName(probe, u"Limit", kDispatchPropertyGet, none, &result), hr::kMemberNotFound);
  EXPECT_EQ(InvokeByName(probe, u"Value", kDispatchPropertyPut, one, &result), hr::kMemberNotFound);
  EXPECT_EQ(InvokeByName(probe, u"Twice", kDispatchMethod, none, &result), hr::kBadParamCount);
  EXPECT_EQ(InvokeByName(probe, u"Twice", kDispatchMethod, two, &result), hr::kBadParamCount);
  EXPECT_EQ(InvokeByName(probe, u"Twice", kDispatchMethod, missing, &result), hr::kParamNotOptional);
  EXPECT_EQ(probe.Invoke(0x60039999, kDispatchMethod, none, &result, nullptr), hr::kMemberNotFound);
  EXPECT_EQ(probe.member_calls, 0);
}

TEST(Dispatch, PropertyGetAcceptsTheMethodFlagAsScriptingHostsSendIt) {
  ProbeObject probe;
  probe.limit = 7;
  Variant result;
  std::vector<Variant> none;
  ASSERT_EQ(InvokeByName(probe, u"Value", kDispatchMethod, none, &result), hr::kOk);
  EXPECT_EQ(result, Variant::I4(7));
  ASSERT_EQ(InvokeByName(probe, u"Value", kDispatchMethod | kDispatchPropertyGet, none, &result), hr::kOk);
  EXPECT_EQ(result, Variant::I4(7));
}

TEST(Dispatch, RuntimeErrorsReachTheClientAsExceptions) {
  ProbeObject probe;
  struct Case {
    Variant arg;
    int32_t number;
  };
  const Case cases[] = {{Variant::Null(), 94}, {Variant::Bstr(u"abc"), 13}, {Variant::R8(3e9), 6}};
  for (const Case& c : cases) {
    std::vector<Variant> args{c.arg};
    Variant result = Variant::I4(123);
    ExceptionInfo exception;
    EXPECT_EQ(InvokeByName(probe, u"Twice", kDispatchMethod, args, &result, &exception), hr::kException);
    EXPECT_EQ(exception.source, u"ProbeLibrary");
    EXPECT_EQ(exception.scode, static_cast<HResult>(0x800A0000 + c.number));
    EXPECT_EQ(exception.runtime_number(), c.number);
    EXPECT_EQ(exception.description, RuntimeErrorDescription(c.number));
  }
}

TEST(Dispatch, ArgumentsAreByReferenceAndResultlessMembersReturnEmpty) {
  ProbeObject probe;
  std::vector<Variant> args{Variant::I4(5)};
  Variant result;
  ASSERT_EQ(InvokeByName(probe, u"Fill", kDispatchMethod, args, &result), hr::kOk);
  EXPECT_EQ(args[0], Variant::Bstr(u"filled"));
  EXPECT_EQ(result, Variant::I2(0));

  EXPECT_TRUE(Call(probe, "Reset").is_empty());
  Put(probe, "limit", Variant::Bstr(u" 12 "));
  EXPECT_EQ(Get(probe, "VALUE"), Variant::I4(12));
}

TEST(Dispatch, CallHelperThrowsWithTheFailure) {
  ProbeObject probe;
  try {
    Call(probe, "Twice", {Variant::Null()});
    FAIL() << "no failure";
  } catch (const DispatchError& e) {
    EXPECT_EQ(e.hresult, hr::kException);
    EXPECT_EQ(e.exception.runtime_number(), 94);
  }
  EXPECT_THROW(Call(probe, "Nothing"), DispatchError);
}

TEST(MemberTable, EveryMemberIsBoundOnceByItsName) {
  using Handler = MemberTable<ProbeObject>::Handler;
  const Handler none = [](ProbeObject&, std::span<Variant>) { return Variant(); };
  const Handler value = [](ProbeObject& o, std::span<Variant>) { return Variant::I4(o.limit); };
  const MemberTable<ProbeObject> table(Probe().interface, {{"value", value}, {"Limit", none}, {"Twice", none},
                                                             {"Fill", none}, {"Reset", none}});
  ProbeObject probe;
  probe.limit = 3;
  EXPECT_EQ(table.Run(probe, *Probe().interface.FindByName("Value"), {}), Variant::I4(3));

  EXPECT_THROW(MemberTable<ProbeObject>(Probe().interface, {{"Value", value}}), std::logic_error);
  EXPECT_THROW(MemberTable<ProbeObject>(Probe().interface, {{"Value", value}, {"Limit", none}, {"Twice", none},
                                                            {"Fill", none}, {"Reset", none}, {"Nothing", none}}),
               std::logic_error);
}

// A sink that records what it is given and can act on the connection point.
class RecordingSink : public Dispatch {
 public:
  RecordingSink(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
  const ClassInfo& Class() const override { return Probe(); }
  HResult Invoke(DispId dispid, uint16_t, std::span<Variant> args, Variant*, ExceptionInfo*) override {
    log_.push_back(name_ + ":" + std::to_string(dispid) + ":" + std::to_string(ToLong(args[0])));
    args[0] = Variant::I4(-1);  // must not leak to the next sink
    if (on_event) on_event();
    return hr::kOk;
  }
  std::function<void()> on_event;

 private:
  std::vector<std::string>& log_;
  std::string name_;
};

TEST(ConnectionPoint, RaisesToEverySinkInOrderWithTheirOwnArguments) {
  ConnectionPoint point(*Probe().events());
  std::vector<std::string> log;
  auto a = std::make_shared<RecordingSink>(log, "a");
  auto b = std::make_shared<RecordingSink>(log, "b");
  const uint32_t ca = point.Advise(a);
  const uint32_t cb = point.Advise(b);
  EXPECT_NE(ca, 0u);
  EXPECT_NE(ca, cb);

  std::vector<Variant> args{Variant::I4(5)};
  point.Raise(1, args);
  EXPECT_EQ(log, (std::vector<std::string>{"a:1:5", "b:1:5"}));
  EXPECT_EQ(args[0], Variant::I4(5));

  EXPECT_EQ(point.Unadvise(ca), hr::kOk);
  EXPECT_EQ(point.Unadvise(ca), hr::kConnectNoConnection);
  log.clear();
  point.Raise(1, args);
  EXPECT_EQ(log, (std::vector<std::string>{"b:1:5"}));
}

TEST(ConnectionPoint, ASinkDisconnectedDuringAnEventIsNotCalledAfterwards) {
  ConnectionPoint point(*Probe().events());
  std::vector<std::string> log;
  auto a = std::make_shared<RecordingSink>(log, "a");
  auto b = std::make_shared<RecordingSink>(log, "b");
  point.Advise(a);
  const uint32_t cb = point.Advise(b);
  a->on_event = [&] { point.Unadvise(cb); };
  std::vector<Variant> args{Variant::I4(1)};
  point.Raise(1, args);
  EXPECT_EQ(log, (std::vector<std::string>{"a:1:1"}));
  EXPECT_EQ(point.sink_count(), 1u);
}

}  // namespace
}  // namespace quillon
