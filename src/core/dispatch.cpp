#include "core/dispatch.h"

#include <new>
#include <vector>

#include "core/status.h"
#include "core/text.h"

namespace quillon {
namespace {

// Which invoke flags reach a member of the given kind. Scripting hosts call
// methods and property gets alike with method | get, so either flag will do.
bool FlagsFitKind(uint16_t flags, MemberKind kind) {
  switch (kind) {
    case MemberKind::kMethod:
    case MemberKind::kPropertyGet:
      return (flags & (kDispatchMethod | kDispatchPropertyGet)) != 0;
    case MemberKind::kPropertyPut:
      return (flags & kDispatchPropertyPut) != 0;
    case MemberKind::kEvent:
      return (flags & kDispatchMethod) != 0;
  }
  return false;
}

uint16_t FlagsForKind(MemberKind kind) {
  switch (kind) {
    case MemberKind::kPropertyGet: return kDispatchPropertyGet;
    case MemberKind::kPropertyPut: return kDispatchPropertyPut;
    default: return kDispatchMethod;
  }
}

HResult RaiseToClient(const ClassInfo& info, const Status& failure, ExceptionInfo* exception) {
  if (exception != nullptr) {
    exception->source = AsciiToText(info.error_source);
    exception->description = failure.description();
    exception->scode = ScodeOfRuntimeError(failure.number());
  }
  return hr::kException;
}

}  // namespace

HResult Dispatch::GetIdOfName(std::u16string_view name, DispId* dispid) const {
  const MemberInfo* member = Class().interface.FindByName(name);
  if (member == nullptr) return hr::kUnknownName;
  *dispid = member->dispid;
  return hr::kOk;
}

HResult AutomationObject::Invoke(DispId dispid, uint16_t flags, std::span<Variant> args, Variant* result,
                                 ExceptionInfo* exception) {
  const MemberInfo* member = class_.interface.FindById(dispid);
  if (member == nullptr || !FlagsFitKind(flags, member->kind)) return hr::kMemberNotFound;
  if (args.size() != member->params.size()) return hr::kBadParamCount;
  for (const Variant& arg : args) {
    if (arg.is_missing()) return hr::kParamNotOptional;
  }
  try {
    Variant value = InvokeMember(*member, args);
    if (result != nullptr) *result = member->result == ResultKind::kNone ? Variant() : std::move(value);
    return hr::kOk;
  } catch (const RuntimeError& failure) {
    return RaiseToClient(class_, failure.status(), exception);
  } catch (const DispatchError& failure) {
    if (exception != nullptr) *exception = failure.exception;
    return failure.hresult;
  } catch (const std::bad_alloc&) {
    return RaiseToClient(class_, Status::Error(rt::kOutOfMemory), exception);
  }
}

Variant Call(Dispatch& object, std::string_view name, std::span<Variant> args) {
  const MemberInfo* member = object.Class().interface.FindByName(name);
  if (member == nullptr) throw DispatchError(hr::kUnknownName, {});
  Variant result;
  ExceptionInfo exception;
  HResult status = object.Invoke(member->dispid, FlagsForKind(member->kind), args, &result, &exception);
  if (Failed(status)) throw DispatchError(status, std::move(exception));
  return result;
}

Variant Call(Dispatch& object, std::string_view name, std::initializer_list<Variant> args) {
  std::vector<Variant> values(args);
  return Call(object, name, std::span<Variant>(values));
}

Variant Get(Dispatch& object, std::string_view name) { return Call(object, name, {}); }

void Put(Dispatch& object, std::string_view name, Variant value) {
  Call(object, name, std::span<Variant>(&value, 1));
}

}  // namespace quillon
