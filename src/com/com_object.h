// The COM objects of the server: each of the system's objects behind
// IDispatchEx, its connection point, the sinks of clients as Dispatch objects,
// the class factories and the message filter. Everything here runs on the server's one
// single-threaded apartment.
#pragma once

#include "com/com_headers.h"

#include <memory>
#include <unordered_map>
#include <vector>

#include "com/com_variant.h"
#include "core/dispatch.h"
#include "core/registry.h"

// core/registry.h declares asio::io_context, Host and WaitInterrupt.

namespace quillon::com {

class ComObject;
class ComServer;

// The client scope of the objects one class factory made, and the marshal of
// their arguments and results: an object one of them hands out (a Location)
// joins the same scope. The objects, their sinks and the objects waiting to
// end hold it; it ends after the last of them (docs/windows.md says why a scope
// is an object's and not a client process's).
class ComScope final : public ClientScope, public ObjectMarshal, public std::enable_shared_from_this<ComScope> {
 public:
  ComScope(ComServer& server, asio::io_context& loop, const WaitInterrupt* interrupt)
      : ClientScope(loop, interrupt), server_(server) {}

  IDispatch* Wrap(const Variant::Object& object) override;
  Variant::Object Unwrap(IDispatch* dispatch) override;

 private:
  ComServer& server_;
};

// What the objects share: the host, the type library, the count of what keeps
// the process running, the objects whose end waits until no call is on the
// stack, and whether an event is out with a client.
class ComServer final {
 public:
  ComServer(Host& host, asio::io_context& loop, const WaitInterrupt* interrupt, ITypeLib* library);
  ~ComServer();
  ComServer(const ComServer&) = delete;
  ComServer& operator=(const ComServer&) = delete;

  Host& host() { return host_; }
  // The type information of an interface or class of the library (a new reference), or null.
  ITypeInfo* TypeInfo(REFGUID guid);

  // Creates an object of a creatable class for a class factory, in a scope of its own.
  HRESULT Create(const ClassInfo& info, REFIID iid, void** object);

  // One COM object per object of the system, as long as it lives; a new one
  // joins `scope`.
  IDispatch* Wrap(const Variant::Object& object, const std::shared_ptr<ComScope>& scope);
  Variant::Object Unwrap(IDispatch* dispatch);

  // Objects and server locks keep the process running; when the last goes, the
  // loop is asked to end.
  void Lock();
  void Unlock();
  bool ever_locked() const { return ever_locked_; }
  int locks() const { return locks_; }

  // An event is being delivered to a client's sink (a call out of the server):
  // other clients' calls are turned away meanwhile (the message filter).
  void EventStarted() { ++events_out_; }
  void EventEnded() { --events_out_; }
  bool event_out() const { return events_out_ > 0; }

  // A COM object that ended: its object may be the very one whose member or
  // event is still on the stack, so it ends when the loop is back at the top,
  // and its scope after it.
  void Ended(ComObject* wrapper, std::shared_ptr<Dispatch> object, std::shared_ptr<ComScope> scope);
  void EndDoomed();

 private:
  struct Doomed {
    std::shared_ptr<Dispatch> object;
    std::shared_ptr<ComScope> scope;
  };

  Host& host_;
  asio::io_context& loop_;
  const WaitInterrupt* interrupt_;
  ITypeLib* library_;
  std::unordered_map<Dispatch*, ComObject*> wrappers_;
  std::vector<Doomed> doomed_;
  int locks_ = 0;
  bool ever_locked_ = false;
  int events_out_ = 0;
};

// Registers the server's message filter on this thread (CoRegisterMessageFilter):
// while an event is out, only calls nested in it are served; other clients'
// calls are turned away (RPC_E_CALL_REJECTED for a client without a filter
// that retries). CoRegisterMessageFilter(nullptr, nullptr) revokes it.
HRESULT RegisterMessageFilter(ComServer& server);

// One factory per creatable class, registered with COM while the server runs.
IClassFactory* MakeClassFactory(ComServer& server, const ClassInfo& info);

}  // namespace quillon::com
