#include "com/com_object.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>

#include "core/events.h"
#include "core/host.h"
#include "core/text.h"

// mingw's uuid library lacks it.
extern "C" const IID IID_IDispatchEx = {0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

namespace quillon::com {
namespace {

// Asks a COM object whether it is one of ours; the answer is the ComObject itself.
const IID kIidComObject = {0x3b0c2f6e, 0x51d4, 0x4a8e, {0x9d, 0x17, 0x6c, 0x2a, 0x90, 0x41, 0xe3, 0x58}};

GUID GuidOf(std::string_view text) {
  GUID guid = GUID_NULL;
  const std::wstring wide(text.begin(), text.end());
  CLSIDFromString(wide.c_str(), &guid);
  return guid;
}

std::u16string_view TextOf(const OLECHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(reinterpret_cast<const char16_t*>(text));
}

BSTR BstrOf(std::string_view ascii) {
  const std::u16string text = AsciiToText(ascii);
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
}

BSTR BstrOf(const std::u16string& text) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
}

// Reference counting as every object here does it.
class RefCount {
 public:
  ULONG AddRef() { return ++count_; }
  ULONG Release() { return --count_; }

 private:
  std::atomic<ULONG> count_{1};
};

// The IUnknown of an object that offers one interface and ends with its last
// reference.
template <typename Interface, const IID& kInterfaceId>
class SingleInterfaceObject : public Interface {
 public:
  virtual ~SingleInterfaceObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kInterfaceId)) return E_NOINTERFACE;
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return count_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = count_.Release();
    if (left == 0) delete this;
    return left;
  }

 private:
  RefCount count_;
};

// A client's sink for an event interface: each event becomes a call of the
// sink's IDispatch, made on the server's thread and answered before the member
// that raised it goes on. Arguments go by reference, as the event interface
// declares them.
class ComSink final : public Dispatch {
 public:
  ComSink(IDispatch* sink, const InterfaceInfo& events, std::shared_ptr<ComScope> scope, ComServer& server)
      : sink_(sink), class_{events.name, "", false, "", events}, scope_(std::move(scope)), server_(server) {
    sink_->AddRef();
  }
  ~ComSink() override { sink_->Release(); }

  const ClassInfo& Class() const override { return class_; }
  IDispatch* sink() const { return sink_; }

  HResult Invoke(DispId dispid, uint16_t flags, std::span<Variant> args, Variant* result,
                 ExceptionInfo*) override {
    if (class_.interface.FindById(dispid) == nullptr || (flags & kDispatchMethod) == 0) return hr::kMemberNotFound;
    if (result != nullptr) *result = Variant();
    const size_t count = args.size();
    std::vector<VARIANT> values(count);
    std::vector<VARIANT> references(count);
    HRESULT status = S_OK;
    for (size_t i = 0; i < count; ++i) {
      if (SUCCEEDED(status)) status = ToVariant(args[i], &values[i], *scope_);
      else VariantInit(&values[i]);
    }
    if (SUCCEEDED(status)) {
      for (size_t i = 0; i < count; ++i) {
        VARIANT& reference = references[count - 1 - i];  // the last argument comes first
        VariantInit(&reference);
        V_VT(&reference) = ::VT_BYREF | ::VT_VARIANT;
        V_VARIANTREF(&reference) = &values[i];
      }
      DISPPARAMS params = {references.data(), nullptr, static_cast<UINT>(count), 0};
      VARIANT answer;
      VariantInit(&answer);
      EXCEPINFO failure = {};
      UINT wrong_argument = 0;
      server_.EventStarted();
      status = sink_->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &answer, &failure,
                             &wrong_argument);
      server_.EventEnded();
      VariantClear(&answer);
      SysFreeString(failure.bstrSource);
      SysFreeString(failure.bstrDescription);
      SysFreeString(failure.bstrHelpFile);
      // What the handler left in its by-reference arguments comes back.
      for (size_t i = 0; i < count && SUCCEEDED(status); ++i) {
        Variant changed;
        if (SUCCEEDED(FromVariant(values[i], &changed, *scope_))) args[i] = std::move(changed);
      }
    }
    for (VARIANT& value : values) VariantClear(&value);
    return status;
  }

 private:
  IDispatch* sink_;
  ClassInfo class_;
  std::shared_ptr<ComScope> scope_;
  ComServer& server_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The objects

class ComObject final : public IDispatchEx, public IConnectionPointContainer, public IProvideClassInfo {
 public:
  ComObject(ComServer& server, std::shared_ptr<Dispatch> object, std::shared_ptr<ComScope> scope)
      : server_(server), object_(std::move(object)), scope_(std::move(scope)) {
    server_.Lock();
  }
  ~ComObject() { server_.Unlock(); }

  Dispatch& object() { return *object_; }
  const std::shared_ptr<Dispatch>& shared() const { return object_; }
  const std::shared_ptr<ComScope>& scope() const { return scope_; }

  // The sinks connected through the connection point, by cookie: the object's
  // connection point holds them, so those it let go have expired.
  void Connected(DWORD cookie, std::weak_ptr<ComSink> sink) {
    std::erase_if(sinks_, [](const auto& entry) { return entry.second.expired(); });
    sinks_.emplace_back(cookie, std::move(sink));
  }
  std::vector<CONNECTDATA> Connections() const {
    std::vector<CONNECTDATA> connections;
    for (const auto& [cookie, weak] : sinks_) {
      if (std::shared_ptr<ComSink> sink = weak.lock()) connections.push_back({sink->sink(), cookie});
    }
    return connections;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IDispatchEx) ||
        IsEqualIID(iid, kIidComObject)) {
      *out = static_cast<IDispatchEx*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer) && object_->Events() != nullptr) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo)) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return count_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = count_.Release();
    if (left == 0) {
      server_.Ended(this, std::move(object_), std::move(scope_));
      delete this;
    }
    return left;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = server_.TypeInfo(GuidOf(object_->Class().interface.iid));
    return *info != nullptr ? S_OK : TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    DispId member_id = 0;
    const HResult found = object_->GetIdOfName(TextOf(names[0]), &member_id);
    ids[0] = !Failed(found) ? member_id : DISPID_UNKNOWN;
    // Parameter names number the parameters from 0, for named arguments.
    const MemberInfo* member = !Failed(found) ? object_->Class().interface.FindById(member_id) : nullptr;
    bool all = !Failed(found);
    for (UINT i = 1; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (member != nullptr) {
        for (size_t p = 0; p < member->params.size(); ++p) {
          if (EqualsIgnoreCase(TextOf(names[i]), member->params[p])) ids[i] = static_cast<DISPID>(p);
        }
      }
      all = all && ids[i] != DISPID_UNKNOWN;
    }
    return all ? S_OK : DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* wrong_argument) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return Call(dispid, flags, params, result, exception, wrong_argument);
  }

  // IDispatchEx: names resolve without regard to case whatever the flags ask.
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD, DISPID* dispid) override {
    if (dispid == nullptr) return E_POINTER;
    DispId found = 0;
    if (Failed(object_->GetIdOfName(TextOf(name), &found))) {
      *dispid = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    *dispid = found;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID dispid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, IServiceProvider*) override {
    if (flags & DISPATCH_CONSTRUCT) return DISP_E_MEMBERNOTFOUND;
    return Call(dispid, flags, params, result, exception, nullptr);
  }
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID dispid, BSTR* name) override {
    if (name == nullptr) return E_POINTER;
    const MemberInfo* member = object_->Class().interface.FindById(dispid);
    if (member == nullptr) return DISP_E_UNKNOWNNAME;
    *name = BstrOf(member->name);
    return S_OK;
  }
  // The members in interface order, a property's get and put once.
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID dispid, DISPID* next) override {
    if (next == nullptr) return E_POINTER;
    const std::vector<MemberInfo>& members = object_->Class().interface.members;
    std::vector<DISPID> order;
    for (const MemberInfo& member : members) {
      if (std::find(order.begin(), order.end(), member.dispid) == order.end()) order.push_back(member.dispid);
    }
    auto at = dispid == DISPID_STARTENUM ? order.begin() : std::find(order.begin(), order.end(), dispid);
    if (dispid != DISPID_STARTENUM && at != order.end()) ++at;
    if (at == order.end()) {
      *next = DISPID_UNKNOWN;
      return S_FALSE;
    }
    *next = *at;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown** parent) override {
    if (parent != nullptr) *parent = nullptr;
    return E_NOTIMPL;
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = server_.TypeInfo(GuidOf(object_->Class().clsid));
    return *info != nullptr ? S_OK : TYPE_E_ELEMENTNOTFOUND;
  }

 private:
  HRESULT Call(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
               UINT* wrong_argument);

  RefCount count_;
  ComServer& server_;
  std::shared_ptr<Dispatch> object_;
  std::shared_ptr<ComScope> scope_;
  std::vector<std::pair<DWORD, std::weak_ptr<ComSink>>> sinks_;
};

// The arguments arrive last first; named ones come ahead of the positional
// ones, and a property put names its value DISPID_PROPERTYPUT.
HRESULT ComObject::Call(DISPID dispid, WORD com_flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                        UINT* wrong_argument) {
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (params == nullptr) params = &none;
  if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
  uint16_t flags = com_flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT);
  if (com_flags & DISPATCH_PROPERTYPUTREF) flags |= kDispatchPropertyPut;

  const size_t positional = params->cArgs - params->cNamedArgs;
  // Where each argument of the call goes among the member's parameters.
  std::vector<int> slot_of(params->cArgs, -1);
  size_t slots = positional;
  int put_value = -1;
  for (UINT i = 0; i < params->cNamedArgs; ++i) {
    const DISPID name = params->rgdispidNamedArgs[i];
    if (name == DISPID_PROPERTYPUT && (flags & kDispatchPropertyPut)) {
      put_value = static_cast<int>(i);
    } else if (name >= 0 && name < 64) {
      slot_of[i] = name;
      slots = std::max(slots, static_cast<size_t>(name) + 1);
    } else {
      if (wrong_argument != nullptr) *wrong_argument = i;
      return DISP_E_PARAMNOTFOUND;
    }
  }
  for (size_t i = 0; i < positional; ++i) slot_of[params->cArgs - 1 - i] = static_cast<int>(i);
  if (put_value >= 0) slot_of[put_value] = static_cast<int>(slots++);

  std::vector<Variant> args(slots, Variant::Missing());
  for (UINT i = 0; i < params->cArgs; ++i) {
    if (HRESULT status = FromVariant(params->rgvarg[i], &args[slot_of[i]], *scope_); FAILED(status)) {
      if (wrong_argument != nullptr) *wrong_argument = i;
      return status;
    }
  }

  // The object stays while its member runs, whatever the client releases meanwhile.
  AddRef();
  const std::shared_ptr<Dispatch> object = object_;
  const std::shared_ptr<ComScope> scope = scope_;
  Variant value;
  ExceptionInfo failure;
  const HResult status = object->Invoke(dispid, flags, args, &value, &failure);
  HRESULT outcome = status;
  if (!Failed(status)) {
    for (UINT i = 0; i < params->cArgs && SUCCEEDED(outcome); ++i) {
      outcome = WriteBack(args[slot_of[i]], params->rgvarg[i], *scope_);
    }
    if (result != nullptr && SUCCEEDED(outcome)) {
      VariantClear(result);
      outcome = ToVariant(value, result, *scope_);
    }
  } else if (status == hr::kException && exception != nullptr) {
    *exception = {};
    exception->bstrSource = BstrOf(failure.source);
    exception->bstrDescription = BstrOf(failure.description);
    exception->scode = failure.scode;
  }
  Release();
  return outcome;
}

// ---------------------------------------------------------------------------
// Connection points

class ComConnectionPoint final : public SingleInterfaceObject<IConnectionPoint, IID_IConnectionPoint> {
 public:
  ComConnectionPoint(ComObject& owner, ComServer& server) : owner_(owner), server_(server) { owner_.AddRef(); }
  ~ComConnectionPoint() override { owner_.Release(); }


  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = GuidOf(point().interface().iid);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
    if (container == nullptr) return E_POINTER;
    return owner_.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container));
  }
  // The sink is reached through IDispatch: asked for the event interface first,
  // which a sink made for it answers, else for IDispatch itself.
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    IDispatch* dispatch = nullptr;
    const IID events = GuidOf(point().interface().iid);
    if (FAILED(sink->QueryInterface(events, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    auto connection = std::make_shared<ComSink>(dispatch, point().interface(), owner_.scope(), server_);
    dispatch->Release();
    *cookie = point().Advise(connection);
    owner_.Connected(*cookie, connection);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override { return point().Unadvise(cookie); }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

 private:
  ConnectionPoint& point() { return *owner_.object().Events(); }

  ComObject& owner_;
  ComServer& server_;
};

// An enumerator over what it was given when it was made: the object's one
// connection point, or the connections of a point. Each item handed out gains
// a reference for the caller.
template <typename Enumerator, const IID& kEnumeratorId, typename Item>
class ComEnumerator final : public SingleInterfaceObject<Enumerator, kEnumeratorId> {
 public:
  ComEnumerator(std::vector<Item> items, ULONG position) : items_(std::move(items)), position_(position) {
    for (Item& item : items_) Unknown(item)->AddRef();
  }
  ~ComEnumerator() override {
    for (Item& item : items_) Unknown(item)->Release();
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, Item* out, ULONG* fetched) override {
    if (out == nullptr || (wanted > 1 && fetched == nullptr)) return E_POINTER;
    ULONG given = 0;
    for (; given < wanted && position_ < items_.size(); ++given, ++position_) {
      out[given] = items_[position_];
      Unknown(out[given])->AddRef();
    }
    if (fetched != nullptr) *fetched = given;
    return given == wanted ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const bool enough = position_ + count <= items_.size();
    position_ = enough ? position_ + count : static_cast<ULONG>(items_.size());
    return enough ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Enumerator** copy) override {
    if (copy == nullptr) return E_POINTER;
    *copy = new ComEnumerator(items_, position_);
    return S_OK;
  }

 private:
  static IUnknown* Unknown(IConnectionPoint* point) { return point; }
  static IUnknown* Unknown(const CONNECTDATA& connection) { return connection.pUnk; }

  std::vector<Item> items_;
  ULONG position_;
};

using ComEnumConnectionPoints =
    ComEnumerator<IEnumConnectionPoints, IID_IEnumConnectionPoints, IConnectionPoint*>;
using ComEnumConnections = ComEnumerator<IEnumConnections, IID_IEnumConnections, CONNECTDATA>;

HRESULT ComConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) return E_POINTER;
  *connections = new ComEnumConnections(owner_.Connections(), 0);
  return S_OK;
}

HRESULT ComObject::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  ConnectionPoint* events = object_->Events();
  if (events == nullptr || !IsEqualIID(iid, GuidOf(events->interface().iid))) return CONNECT_E_NOCONNECTION;
  *point = new ComConnectionPoint(*this, server_);
  return S_OK;
}

HRESULT ComObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points == nullptr) return E_POINTER;
  IConnectionPoint* point = new ComConnectionPoint(*this, server_);
  *points = new ComEnumConnectionPoints({point}, 0);
  point->Release();
  return S_OK;
}

// ---------------------------------------------------------------------------
// The server's state

ComServer::ComServer(Host& host, asio::io_context& loop, const WaitInterrupt* interrupt, ITypeLib* library)
    : host_(host), loop_(loop), interrupt_(interrupt), library_(library) {
  if (library_ != nullptr) library_->AddRef();
}

ComServer::~ComServer() {
  EndDoomed();
  if (library_ != nullptr) library_->Release();
}

ITypeInfo* ComServer::TypeInfo(REFGUID guid) {
  ITypeInfo* info = nullptr;
  if (library_ == nullptr || FAILED(library_->GetTypeInfoOfGuid(guid, &info))) return nullptr;
  return info;
}

HRESULT ComServer::Create(const ClassInfo& info, REFIID iid, void** out) {
  auto scope = std::make_shared<ComScope>(*this, loop_, interrupt_);
  std::shared_ptr<Dispatch> object;
  const HResult status = host_.registry().Create(AsciiToText(info.progid), host_, *scope, &object);
  if (Failed(status)) return status;
  IDispatch* wrapper = Wrap(object, scope);
  const HRESULT answer = wrapper->QueryInterface(iid, out);
  wrapper->Release();
  return answer;
}

IDispatch* ComServer::Wrap(const Variant::Object& object, const std::shared_ptr<ComScope>& scope) {
  if (auto found = wrappers_.find(object.get()); found != wrappers_.end()) {
    found->second->AddRef();
    return static_cast<IDispatchEx*>(found->second);
  }
  auto* wrapper = new ComObject(*this, object, scope);
  wrappers_[object.get()] = wrapper;
  return static_cast<IDispatchEx*>(wrapper);
}

Variant::Object ComServer::Unwrap(IDispatch* dispatch) {
  void* own = nullptr;
  if (dispatch == nullptr || FAILED(dispatch->QueryInterface(kIidComObject, &own))) return nullptr;
  auto* wrapper = static_cast<ComObject*>(static_cast<IDispatchEx*>(own));
  Variant::Object object = wrapper->shared();
  wrapper->Release();
  return object;
}

IDispatch* ComScope::Wrap(const Variant::Object& object) { return server_.Wrap(object, shared_from_this()); }

Variant::Object ComScope::Unwrap(IDispatch* dispatch) { return server_.Unwrap(dispatch); }

void ComServer::Lock() {
  ++locks_;
  ever_locked_ = true;
}

void ComServer::Unlock() {
  if (--locks_ == 0) PostQuitMessage(0);
}

void ComServer::Ended(ComObject* wrapper, std::shared_ptr<Dispatch> object, std::shared_ptr<ComScope> scope) {
  if (auto found = wrappers_.find(object.get()); found != wrappers_.end() && found->second == wrapper) {
    wrappers_.erase(found);
  }
  doomed_.push_back({std::move(object), std::move(scope)});
}

void ComServer::EndDoomed() {
  // An object's end may release others (a sink holding the last reference).
  // The engines of a scope's objects may use the scope to their end, so each
  // object goes before the scope it held.
  while (!doomed_.empty()) {
    std::vector<Doomed> ending;
    ending.swap(doomed_);
    for (Doomed& doomed : ending) {
      if (ConnectionPoint* events = doomed.object->Events()) events->UnadviseAll();
    }
    for (Doomed& doomed : ending) doomed.object.reset();
  }
}

// ---------------------------------------------------------------------------
// The message filter

namespace {

// While an event is out with a client's sink, the thread waits for its answer
// serving messages, so any client's call could run in the middle of the member
// or completion that raised the event. Only calls nested in the event (the
// handler's own calls back) are served then; others are told to retry later.
// The server's own count says whether an event is out: Wine calls a call from
// another client CALLTYPE_TOPLEVEL then, where Windows says
// CALLTYPE_TOPLEVEL_CALLPENDING.
class MessageFilter final : public SingleInterfaceObject<IMessageFilter, IID_IMessageFilter> {
 public:
  MessageFilter(ComServer& server, DWORD turn_away) : server_(server), turn_away_(turn_away) {}

  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD type, HTASK, DWORD, INTERFACEINFO*) override {
    if (server_.event_out() && type != CALLTYPE_NESTED) return turn_away_;
    return SERVERCALL_ISHANDLED;
  }
  // The server's own calls are events; one a client turns away is not retried.
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }

 private:
  ComServer& server_;
  const DWORD turn_away_;
};

// Wine serves a call its filter answers SERVERCALL_RETRYLATER as if the
// filter had let it in; SERVERCALL_REJECTED it does turn away.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

HRESULT RegisterMessageFilter(ComServer& server) {
  IMessageFilter* filter = new MessageFilter(server, UnderWine() ? SERVERCALL_REJECTED : SERVERCALL_RETRYLATER);
  IMessageFilter* previous = nullptr;
  const HRESULT status = CoRegisterMessageFilter(filter, &previous);
  filter->Release();
  if (previous != nullptr) previous->Release();
  return status;
}

// ---------------------------------------------------------------------------
// Class factories

namespace {

class ClassFactory final : public SingleInterfaceObject<IClassFactory, IID_IClassFactory> {
 public:
  ClassFactory(ComServer& server, const ClassInfo& info) : server_(server), info_(info) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return server_.Create(info_, iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      server_.Lock();
    } else {
      server_.Unlock();
    }
    return S_OK;
  }

 private:
  ComServer& server_;
  const ClassInfo& info_;
};

}  // namespace

IClassFactory* MakeClassFactory(ComServer& server, const ClassInfo& info) { return new ClassFactory(server, info); }

}  // namespace quillon::com
