// The COM objects of the server: each of the system's objects behind
// IDispatchEx, its connection point, the sinks of clients as Dispatch objects,
// and the class factories. Everything here runs on the server's one
// single-threaded apartment.
#pragma once

#include "com/com_headers.h"

#include <memory>
#include <unordered_map>
#include <vector>

#include "com/com_variant.h"
#include "core/dispatch.h"
#include "core/registry.h"

namespace quillon {
class Host;
}

namespace quillon::com {

class ComObject;

// What the objects share: the host and the client scope they are created into,
// the type library, the count of what keeps the process running, and the
// objects whose end waits until no call is on the stack.
class ComServer final : public ObjectMarshal {
 public:
  ComServer(Host& host, ClientScope& scope, ITypeLib* library);
  ~ComServer() override;
  ComServer(const ComServer&) = delete;
  ComServer& operator=(const ComServer&) = delete;

  Host& host() { return host_; }
  // The type information of an interface or class of the library (a new reference), or null.
  ITypeInfo* TypeInfo(REFGUID guid);

  // Creates an object of a creatable class for a class factory.
  HRESULT Create(const ClassInfo& info, REFIID iid, void** object);

  // ObjectMarshal: one COM object per object of the system, as long as it lives.
  IDispatch* Wrap(const Variant::Object& object) override;
  Variant::Object Unwrap(IDispatch* dispatch) override;

  // Objects and server locks keep the process running; when the last goes, the
  // loop is asked to end.
  void Lock();
  void Unlock();
  bool ever_locked() const { return ever_locked_; }
  int locks() const { return locks_; }

  // A COM object that ended: its object may be the very one whose member or
  // event is still on the stack, so it ends when the loop is back at the top.
  void Ended(ComObject* wrapper, std::shared_ptr<Dispatch> object);
  void EndDoomed();

 private:
  Host& host_;
  ClientScope& scope_;
  ITypeLib* library_;
  std::unordered_map<Dispatch*, ComObject*> wrappers_;
  std::vector<std::shared_ptr<Dispatch>> doomed_;
  int locks_ = 0;
  bool ever_locked_ = false;
};

// One factory per creatable class, registered with COM while the server runs.
IClassFactory* MakeClassFactory(ComServer& server, const ClassInfo& info);

}  // namespace quillon::com
