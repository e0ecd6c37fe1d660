#include "cli/session.h"

#include "core/convert.h"
#include "core/events.h"
#include "core/text.h"

namespace quillon::cli {
std::shared_ptr<EventSink> EventSink::Connect(Dispatch& source) {
  ConnectionPoint* point = source.Events();
  if (point == nullptr) throw std::logic_error("the object has no events");
  auto sink = std::make_shared<EventSink>(point->interface());
  point->Advise(sink);
  return sink;
}

EventSink::EventSink(const InterfaceInfo& events) : class_{events.name, "", false, "", events} {}

void EventSink::On(std::string_view event, Handler handler) {
  const MemberInfo* member = class_.interface.FindByName(event);
  if (member == nullptr) throw std::logic_error("no such event: " + std::string(event));
  handlers_[member->dispid] = std::move(handler);
}

HResult EventSink::Invoke(DispId dispid, uint16_t, std::span<Variant> args, Variant* result, ExceptionInfo*) {
  if (result != nullptr) *result = Variant();
  auto it = handlers_.find(dispid);
  if (it != handlers_.end()) it->second(args);
  return hr::kOk;
}

Session::Session() {
  host_.network() = NetworkSettingsFromEnvironment();
}

std::shared_ptr<Dispatch> Session::Create(std::u16string_view progid) {
  std::shared_ptr<Dispatch> object;
  const HResult created = host_.registry().Create(progid, host_, scope_, &object);
  if (Failed(created) || !object) {
    throw Failure("cannot create " + Utf16ToUtf8(progid) + ": " + HResultText(created));
  }
  return object;
}

Session::Wait Session::RunUntil(const std::function<bool()>& done, std::optional<Clock::time_point> deadline) {
  while (!done()) {
    if (loop_.stopped()) loop_.restart();
    if (deadline) {
      if (Clock::now() >= *deadline) return Wait::kDeadline;
      // Nothing ran although time was left: the loop has no work at all.
      if (loop_.run_one_until(*deadline) == 0 && Clock::now() < *deadline) return Wait::kIdle;
    } else if (loop_.run_one() == 0) {
      return Wait::kIdle;
    }
  }
  return Wait::kDone;
}

Variant Text(std::string_view utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }

std::string Utf8(const Variant& value) { return Utf16ToUtf8(ToText(value)); }

int32_t StatusOf(const Variant& value) { return ToLong(value); }

std::string DescribeDispatchError(const DispatchError& error) {
  if (!error.exception.description.empty()) return Utf16ToUtf8(error.exception.description);
  return HResultText(error.hresult);
}

}  // namespace quillon::cli
