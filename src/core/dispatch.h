// Dispatch: the late-bound interface every class presents to clients.
// Names resolve to DISPIDs without regard to case; Invoke calls a member by DISPID
// with its arguments by reference (a member may write back into one of them).
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "core/type_library.h"
#include "core/variant.h"

namespace quillon {

class ConnectionPoint;

// Invoke flags, as automation numbers them. A scripting host calls a property get
// with kMethod | kPropertyGet when it cannot tell the two apart.
enum InvokeFlags : uint16_t {
  kDispatchMethod = 1,
  kDispatchPropertyGet = 2,
  kDispatchPropertyPut = 4,
};

// What a member raised, when Invoke answers DISP_E_EXCEPTION.
struct ExceptionInfo {
  std::u16string source;
  std::u16string description;
  HResult scode = 0;
  int32_t runtime_number() const { return scode - ScodeOfRuntimeError(0); }
};

class Dispatch {
 public:
  virtual ~Dispatch() = default;

  virtual const ClassInfo& Class() const = 0;

  HResult GetIdOfName(std::u16string_view name, DispId* dispid) const;

  // Arguments are in parameter order (args[0] is the first parameter); a property
  // put takes the new value as its only argument. `result` may be null.
  virtual HResult Invoke(DispId dispid, uint16_t flags, std::span<Variant> args, Variant* result,
                         ExceptionInfo* exception) = 0;

  // The object's event source, or null for a class without events.
  virtual ConnectionPoint* Events() { return nullptr; }
};

// The common dispatch of the system's classes: checks the call against the type
// library (member, kind, argument count, missing arguments) and then runs the
// member. A RuntimeError that leaves a member reaches the client as
// DISP_E_EXCEPTION with the class's error source.
class AutomationObject : public Dispatch {
 public:
  explicit AutomationObject(const ClassInfo& info) : class_(info) {}

  const ClassInfo& Class() const override { return class_; }
  HResult Invoke(DispId dispid, uint16_t flags, std::span<Variant> args, Variant* result,
                 ExceptionInfo* exception) final;

 protected:
  // Runs a member already checked against the type library. Returns the result
  // (Empty for members without one); throws RuntimeError for a failure that the
  // member lets reach the client.
  virtual Variant InvokeMember(const MemberInfo& member, std::span<Variant> args) = 0;

 private:
  const ClassInfo& class_;
};

// Binds the members a class publishes in the type library, found by their names
// there, to the code that runs them; DISPIDs and member order stay stated in one
// place. A binding naming no member, or a member left without one, is a
// programming error, raised the first time the class is used.
template <typename Object>
class MemberTable {
 public:
  using Handler = Variant (*)(Object&, std::span<Variant>);
  struct Binding {
    std::string_view name;
    Handler handler;
  };

  MemberTable(const InterfaceInfo& iface, std::initializer_list<Binding> bindings)
      : first_(iface.members.data()), handlers_(iface.members.size(), nullptr) {
    for (const Binding& binding : bindings) {
      const MemberInfo* member = iface.FindByName(binding.name);
      if (member == nullptr) throw std::logic_error("no member " + std::string(binding.name));
      handlers_[static_cast<size_t>(member - first_)] = binding.handler;
    }
    for (size_t i = 0; i < handlers_.size(); ++i) {
      if (handlers_[i] == nullptr) throw std::logic_error("unbound member " + std::string(first_[i].name));
    }
  }

  // `member` is an entry of the interface the table was built from.
  Variant Run(Object& object, const MemberInfo& member, std::span<Variant> args) const {
    return handlers_[static_cast<size_t>(&member - first_)](object, args);
  }

 private:
  const MemberInfo* first_;
  std::vector<Handler> handlers_;
};

// A failed call as Invoke reports it. A member throws one for a failure that
// reaches the client as its HRESULT rather than as a run-time error.
struct DispatchError : std::exception {
  HResult hresult;
  ExceptionInfo exception;
  DispatchError(HResult h, ExceptionInfo e) : hresult(h), exception(std::move(e)) {}
  const char* what() const noexcept override { return "dispatch failed"; }
};
// Convenience for in-process callers (tests, the command line): calls a member by
// name with the flags its kind needs and throws DispatchError on failure.
Variant Call(Dispatch& object, std::string_view name, std::span<Variant> args);
Variant Call(Dispatch& object, std::string_view name, std::initializer_list<Variant> args = {});
Variant Get(Dispatch& object, std::string_view name);
void Put(Dispatch& object, std::string_view name, Variant value);

}  // namespace quillon
