// A C++ client of the COM server: the events of Downloader and IPInfo, in order
// and with their arguments, a call back into the server from inside a handler,
// a second client (a thread in an apartment of its own) turned away while a
// handler runs and kept apart from the first's engines, and the server's end
// once the last object is released.
//   events_client.exe HTTP-PORT   (with_fixtures.py runs the servers it uses)
#include <winsock2.h>
#include <windows.h>

#include <ole2.h>
#include <ocidl.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void Check(const std::string& name, bool ok) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", name.c_str());
  }
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring TextOf(const VARIANT& value) {
  VARIANT text;
  VariantInit(&text);
  std::wstring out = L"<" + std::to_wstring(V_VT(&value)) + L">";
  if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&value), VARIANT_ALPHABOOL, VT_BSTR))) {
    out.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
  }
  VariantClear(&text);
  return out;
}

// The member's DISPID; `status` (when given) says why there is none.
DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT* status = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT found = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (status != nullptr) *status = found;
  return id;
}

// Calls a member with the arguments in their order; the result as text.
std::wstring Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args = {},
                  HRESULT* status = nullptr) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params = {reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                       static_cast<UINT>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
  VARIANT result;
  VariantInit(&result);
  // A lookup of the name that was turned away is the call's failure, so a
  // caller that retries rejected calls retries it too.
  HRESULT answer = S_OK;
  const DISPID id = IdOf(object, name, &answer);
  if (SUCCEEDED(answer)) {
    answer = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, nullptr);
  }
  if (status != nullptr) *status = answer;
  std::wstring text = SUCCEEDED(answer) ? TextOf(result) : L"<failed>";
  VariantClear(&result);
  for (VARIANT& arg : args) VariantClear(&arg);
  return text;
}

// A call made just after a handler has returned can reach the server before
// the handler's answer does, and is turned away like another client's
// (docs/windows.md); this client retries it for up to 2 s, as a message
// filter would on Windows.
template <typename MakeCall>
HRESULT Retried(MakeCall call) {
  HRESULT status = call();
  for (int tries = 0; tries < 100 && status == RPC_E_CALL_REJECTED; ++tries) {
    Sleep(20);
    status = call();
  }
  return status;
}

VARIANT Text(const wchar_t* text) {
  VARIANT value;
  VariantInit(&value);
  V_VT(&value) = VT_BSTR;
  V_BSTR(&value) = SysAllocString(text);
  return value;
}

VARIANT Long(int32_t number) {
  VARIANT value;
  VariantInit(&value);
  V_VT(&value) = VT_I4;
  V_I4(&value) = number;
  return value;
}

// An event sink: records each event with its arguments as text, from inside
// OnDownloadFinish asks the source for CurSize and Busy, and runs `during` last.
class Sink final : public IDispatch {
 public:
  struct Event {
    DISPID id;
    std::vector<std::wstring> args;
  };

  Sink(const IID& interface_id, IDispatch* source) : events_(interface_id), source_(source) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, events_)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override { return --count_; }  // lives on main's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    Event event{id, {}};
    for (UINT i = params->cArgs; i-- > 0;) event.args.push_back(TextOf(params->rgvarg[i]));
    if (id == 2 && source_ != nullptr) {
      size_in_handler = Call(source_, L"CurSize", DISPATCH_PROPERTYGET);
      busy_in_handler = Call(source_, L"Busy", DISPATCH_PROPERTYGET);
    }
    events.push_back(std::move(event));
    if (during) during(id);
    return S_OK;
  }

  std::vector<Event> events;
  std::wstring size_in_handler;
  std::wstring busy_in_handler;
  std::function<void(DISPID)> during;

 private:
  IID events_;
  IDispatch* source_;
  ULONG count_ = 1;
};

// Serves messages (the events arrive as calls) until `done` or the time is up.
template <typename Done>
bool PumpUntil(Done done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return true;
}

IDispatch* Create(const wchar_t* progid) {
  CLSID clsid;
  IDispatch* object = nullptr;
  if (FAILED(CLSIDFromProgID(progid, &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object)))) {
    return nullptr;
  }
  return object;
}

DWORD Advise(IDispatch* source, const wchar_t* events, Sink& sink, IConnectionPoint** point) {
  IID iid;
  IIDFromString(events, &iid);
  IConnectionPointContainer* container = nullptr;
  DWORD cookie = 0;
  *point = nullptr;
  if (SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
    if (SUCCEEDED(container->FindConnectionPoint(iid, point))) (*point)->Advise(&sink, &cookie);
    container->Release();
  }
  return cookie;
}

// The running server, found by its name among the prefix's processes.
HANDLE OpenServerProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  HANDLE found = nullptr;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr; more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"quillon-server.exe") == 0) {
      found = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return found;
}

// What the second client did, each step when the first asks for it.
struct SecondClient {
  HANDLE ask = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::function<void(IDispatch*)> step;  // run on the second client's thread
  bool quit = false;
  bool created = false;

  // Runs `work` on the second client's thread and waits for it, at most 10 s,
  // serving this client's messages meanwhile: an event the server raises for
  // this client holds every other client's call until it is delivered.
  bool Run(std::function<void(IDispatch*)> work) {
    step = std::move(work);
    SetEvent(ask);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      const DWORD woke = MsgWaitForMultipleObjects(1, &done, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
      if (woke == WAIT_OBJECT_0) return true;
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
  }

  // The second client's thread: an apartment of its own with a Downloader of its own.
  void Serve() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IDispatch* downloader = Create(L"Quillon.Downloader");
    created = downloader != nullptr;
    SetEvent(done);
    while (!quit) {
      const DWORD woke = MsgWaitForMultipleObjects(1, &ask, FALSE, 20000, QS_ALLINPUT);
      if (woke == WAIT_TIMEOUT) break;
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      if (woke != WAIT_OBJECT_0) continue;
      if (downloader != nullptr && step) step(downloader);
      SetEvent(done);
    }
    if (downloader != nullptr) downloader->Release();
    CoUninitialize();
  }
};

// A TCP port on 127.0.0.1 that takes connections and never answers: a
// download from it stays under way until something closes it.
SOCKET SilentListener(int* port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    *port = 0;
  } else {
    *port = ntohs(address.sin_port);
  }
  return listener;
}

// Two clients at once: the second is turned away while the first's handler
// runs and served after it returns, and DisconnectNetwork of the second does
// not end the first's download.
void TwoClients(int http_port) {
  SecondClient second;
  std::thread thread([&] { second.Serve(); });
  Check("the second client's Downloader", WaitForSingleObject(second.done, 15000) == WAIT_OBJECT_0 && second.created);

  IDispatch* downloader = Create(L"Quillon.Downloader");
  Sink sink(IID_NULL, nullptr);
  IConnectionPoint* point = nullptr;
  const DWORD cookie = Advise(downloader, L"{1446FF00-575C-4CD3-9369-26B2E0CC948A}", sink, &point);
  HRESULT during = E_FAIL;
  HRESULT after = E_FAIL;
  sink.during = [&](DISPID id) {
    if (id != 2) return;
    second.Run([&](IDispatch* other) { Call(other, L"Busy", DISPATCH_PROPERTYGET, {}, &during); });
  };
  Call(downloader, L"Port", DISPATCH_PROPERTYPUT, {Long(http_port)});
  Call(downloader, L"RequestFile", DISPATCH_METHOD, {Text(L"127.0.0.1"), Text(L"/notes.txt")});
  PumpUntil([&] { return !sink.events.empty() && sink.events.back().id == 2; }, 20);
  std::printf("a second client's call while a handler runs: 0x%08lx\n", static_cast<unsigned long>(during));
  Check("a second client is turned away while a handler runs", during == RPC_E_CALL_REJECTED);
  second.Run([&](IDispatch* other) {
    after = Retried([&] {
      HRESULT status = S_OK;
      Call(other, L"Busy", DISPATCH_PROPERTYGET, {}, &status);
      return status;
    });
  });
  char after_text[16];
  std::snprintf(after_text, sizeof after_text, "0x%08lx", static_cast<unsigned long>(after));
  Check(std::string("and served once it has returned (") + after_text + ")", after == S_OK);

  // A download that stays under way; the other client's DisconnectNetwork
  // leaves it be, its own ends it.
  int silent_port = 0;
  const SOCKET listener = SilentListener(&silent_port);
  sink.events.clear();
  sink.during = nullptr;
  Call(downloader, L"Port", DISPATCH_PROPERTYPUT, {Long(silent_port)});
  Check("a download that stays under way", silent_port != 0 &&
        Call(downloader, L"RequestFile", DISPATCH_METHOD, {Text(L"127.0.0.1"), Text(L"/")}) == L"0");
  HRESULT disconnected = E_FAIL;
  second.Run([&](IDispatch* other) {
    disconnected = Retried([&] {
      HRESULT status = S_OK;
      Call(other, L"DisconnectNetwork", DISPATCH_METHOD, {}, &status);
      return status;
    });
  });
  Check("the second client's DisconnectNetwork is served", disconnected == S_OK);
  PumpUntil([] { return false; }, 1);
  Check("leaves the first client's download under way", Call(downloader, L"Busy", DISPATCH_PROPERTYGET) == L"True" &&
                                                          sink.events.size() == 1);
  Call(downloader, L"DisconnectNetwork", DISPATCH_METHOD);
  PumpUntil([&] { return sink.events.size() >= 2; }, 5);
  Check("its own ends it (OnDisconnect)", sink.events.size() == 2 && sink.events.back().id == 3);
  closesocket(listener);

  second.quit = true;
  second.Run(nullptr);
  thread.join();
  if (point != nullptr) {
    point->Unadvise(cookie);
    point->Release();
  }
  downloader->Release();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: events_client HTTP-PORT\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  IDispatch* downloader = Create(L"Quillon.Downloader");
  Check("Downloader created", downloader != nullptr);
  IDispatch* info = Create(L"Quillon.IPInfo");
  Check("IPInfo created", info != nullptr);
  if (downloader == nullptr || info == nullptr) {
    std::printf("%d passed, %d failed\n", passed, failed + 1);
    return 1;
  }

  // Downloader: OnConnect, then OnDisconnect, then OnDownloadFinish.
  Sink download_sink(IID_NULL, downloader);
  IConnectionPoint* download_point = nullptr;
  const DWORD download_cookie =
      Advise(downloader, L"{1446FF00-575C-4CD3-9369-26B2E0CC948A}", download_sink, &download_point);
  Check("Downloader's connection point advises", download_cookie != 0);
  Call(downloader, L"Port", DISPATCH_PROPERTYPUT, {Long(std::atoi(argv[1]))});
  Check("RequestFile", Call(downloader, L"RequestFile", DISPATCH_METHOD,
                            {Text(L"127.0.0.1"), Text(L"/notes.txt")}) == L"0");
  Check("OnDownloadFinish within 20 s", PumpUntil([&] {
          return !download_sink.events.empty() && download_sink.events.back().id == 2;
        }, 20));
  std::string order;
  for (const Sink::Event& event : download_sink.events) {
    order += std::to_string(event.id) + "(";
    for (const std::wstring& arg : event.args) order += Narrow(arg) + ";";
    order += ")";
  }
  std::printf("downloader events: %s\n", order.c_str());
  const auto& events = download_sink.events;
  Check("three events", events.size() == 3);
  if (events.size() == 3) {
    Check("OnConnect first", events[0].id == 1 && events[0].args.size() == 1 &&
                                 events[0].args[0].find(L"127.0.0.1") != std::wstring::npos);
    Check("OnDisconnect second", events[1].id == 3 && events[1].args.empty());
    Check("OnDownloadFinish last, with code 200", events[2].id == 2 && events[2].args.size() == 2 &&
                                                      events[2].args[0] == L"200");
  }
  Check("a handler called back into the server (CurSize " + Narrow(download_sink.size_in_handler) + ")",
        download_sink.size_in_handler == L"48");
  // As on Linux: OnDownloadFinish runs while the download is still under way.
  Check("Busy inside OnDownloadFinish", download_sink.busy_in_handler == L"True");
  // The server sets Busy once the handler's answer is in, which its next call
  // can overtake.
  Check("Busy is over", PumpUntil([&] { return Call(downloader, L"Busy", DISPATCH_PROPERTYGET) == L"False"; }, 5));

  // IPInfo: OnHostNameResult with the address, the name and 0.
  Sink info_sink(IID_NULL, nullptr);
  IConnectionPoint* info_point = nullptr;
  const DWORD info_cookie = Advise(info, L"{6153D759-A12F-45C3-B1DB-145BBC5478B0}", info_sink, &info_point);
  Check("IPInfo's connection point advises", info_cookie != 0);
  Check("EnableHostNameData", Call(info, L"EnableHostNameData", DISPATCH_METHOD) == L"0");
  Call(info, L"TimeOut", DISPATCH_PROPERTYPUT, {Long(5000)});
  Call(info, L"GetHostNameFromIP", DISPATCH_METHOD, {Text(L"192.0.2.1")});
  Check("OnHostNameResult within 10 s", PumpUntil([&] { return !info_sink.events.empty(); }, 10));
  if (!info_sink.events.empty()) {
    const Sink::Event& result = info_sink.events.front();
    std::printf("lookup event: %s %s %s\n", Narrow(result.args.size() > 0 ? result.args[0] : L"").c_str(),
                Narrow(result.args.size() > 1 ? result.args[1] : L"").c_str(),
                Narrow(result.args.size() > 2 ? result.args[2] : L"").c_str());
    Check("OnHostNameResult's arguments", result.id == 1 && result.args.size() == 3 &&
                                              result.args[0] == L"192.0.2.1" &&
                                              result.args[1] == L"one.example.test" && result.args[2] == L"0");
  }
  Check("one result only", info_sink.events.size() == 1);

  // After Unadvise no event arrives.
  if (info_point != nullptr) Check("Unadvise", SUCCEEDED(Retried([&] { return info_point->Unadvise(info_cookie); })));
  Call(info, L"GetHostNameFromIP", DISPATCH_METHOD, {Text(L"192.0.2.1")});
  PumpUntil([&] { return Call(info, L"Busy", DISPATCH_PROPERTYGET) == L"False"; }, 10);
  Check("no event after Unadvise", info_sink.events.size() == 1);
  if (info_point != nullptr) Check("a second Unadvise fails", FAILED(info_point->Unadvise(info_cookie)));

  TwoClients(std::atoi(argv[1]));

  // The server ends when the last object is released.
  HANDLE server = OpenServerProcess();
  Check("the server is running", server != nullptr);
  if (download_point != nullptr) {
    download_point->Unadvise(download_cookie);
    download_point->Release();
  }
  if (info_point != nullptr) info_point->Release();
  downloader->Release();
  Check("still running while an object is held",
        server != nullptr && WaitForSingleObject(server, 500) == WAIT_TIMEOUT);
  info->Release();
  Check("the server ends after the last release",
        server != nullptr && WaitForSingleObject(server, 15000) == WAIT_OBJECT_0);
  if (server != nullptr) CloseHandle(server);

  CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
