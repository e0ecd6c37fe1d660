#include "com/com_server.h"

#include "com/com_headers.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <mmsystem.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "com/com_object.h"
#include "com/registration.h"
#include "core/client_settings.h"
#include "core/memory.h"
#include "platform/process_memory.h"
#include "platform/wait_interrupt.h"
#include "product/quillon_product.h"

namespace quillon::com {
namespace {

using Clock = std::chrono::steady_clock;

// Started by COM, the server expects its first object at once; one started by
// hand that is never used goes after this long.
constexpr auto kFirstObjectLimit = std::chrono::seconds(60);
// The longest the loop sleeps between two looks at the sockets and timers; it
// looks again after 1 ms while anything happens and backs off to this. Windows
// rounds a wait up to its timer's tick (15.6 ms unless a program asks for a
// finer one), so the server asks for 1 ms ticks while it runs.
constexpr DWORD kLongestNap = 50;
// After the loop: messages still arriving (the last releases' answers) are
// served this long before COM is shut down, which otherwise can wait forever.
constexpr auto kDrainTime = std::chrono::milliseconds(250);

enum class Mode { kServe, kRegister, kUnregister, kHelp };

Mode ModeOf(int argc, char** argv) {
  Mode mode = Mode::kServe;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (!word.empty() && (word[0] == '/' || word[0] == '-')) word.erase(0, 1);
    for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (word == "regserver") {
      mode = Mode::kRegister;
    } else if (word == "unregserver") {
      mode = Mode::kUnregister;
    } else if (word != "embedding" && word != "automation") {
      return Mode::kHelp;
    }
  }
  return mode;
}

// The process's network settings: its environment, else the values of the same
// names under HKEY_CURRENT_USER (then HKEY_LOCAL_MACHINE) \Software\Quillon.
// COM starts the server, so its environment is seldom the script's own.
std::optional<std::string> Setting(const char* name) {
  char value[2048];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length > 0 && length < sizeof value) return std::string(value, length);
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    DWORD size = sizeof value;
    if (RegGetValueA(root, "Software\\Quillon", name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS) {
      return std::string(value);
    }
  }
  return std::nullopt;
}

void ServeMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// The apartment's loop: COM's calls arrive as window messages, and the
// client's sockets and timers complete on `io`, which only this thread runs,
// so every member, handler and event runs here, one at a time. Ends when the
// last object and lock are gone.
void RunLoop(asio::io_context& io, ComServer& server) {
  const Clock::time_point started = Clock::now();
  DWORD nap = 1;
  for (;;) {
    bool busy = io.poll() > 0;
    server.EndDoomed();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      // A client may have made an object after the last one ended.
      if (message.message == WM_QUIT) {
        if (server.locks() == 0) return;
        continue;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
      busy = true;
    }
    server.EndDoomed();
    if (!server.ever_locked() && Clock::now() - started > kFirstObjectLimit) return;
    nap = busy ? 1 : std::min(nap * 2, kLongestNap);
    MsgWaitForMultipleObjectsEx(0, nullptr, nap, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

int Serve(ITypeLib* type_library) {
  QuillonHost host;
  const int64_t available = MemoryAvailableToProcess();
  host.download_memory().set_limit(available > 0 ? available / 4 : int64_t{1} << 30);
  host.network() = NetworkSettingsFrom(Setting);

  asio::io_context io(1);
  auto work = asio::make_work_guard(io);
  WaitInterrupt interrupt;
  {
    ComServer server(host, io, &interrupt, type_library);
    std::vector<DWORD> cookies;
    for (const ClassInfo& info : host.library().classes) {
      if (!info.creatable) continue;
      CLSID clsid = GUID_NULL;
      const std::wstring text(info.clsid.begin(), info.clsid.end());
      CLSIDFromString(text.c_str(), &clsid);
      IClassFactory* factory = MakeClassFactory(server, info);
      DWORD cookie = 0;
      const HRESULT status = CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER,
                                                   REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
      factory->Release();
      if (FAILED(status)) {
        std::fprintf(stderr, "quillon-server: registering the class factory of %s failed (0x%08lx)\n",
                     std::string(info.name).c_str(), static_cast<unsigned long>(status));
        for (DWORD registered : cookies) CoRevokeClassObject(registered);
        return 1;
      }
      cookies.push_back(cookie);
    }
    RegisterMessageFilter(server);
    CoResumeClassObjects();
    const bool fine_ticks = timeBeginPeriod(1) == TIMERR_NOERROR;
    RunLoop(io, server);
    if (fine_ticks) timeEndPeriod(1);
    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    interrupt.Raise();
    server.EndDoomed();
    CoRegisterMessageFilter(nullptr, nullptr);
  }
  work.reset();
  io.poll();
  return 0;
}

}  // namespace

int RunComServer(int argc, char** argv) {
  const Mode mode = ModeOf(argc, argv);
  if (mode == Mode::kHelp) {
    std::fprintf(stderr,
                 "usage: quillon-server [/RegServer | /UnregServer]\n"
                 "  Without an option it serves the Quillon classes to COM clients; COM starts it so.\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  std::wstring executable(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
    if (length < executable.size()) {
      executable.resize(length);
      break;
    }
    executable.resize(executable.size() * 2);
  }
  ITypeLib* type_library = nullptr;
  HRESULT status = LoadTypeLibEx(executable.c_str(), REGKIND_NONE, &type_library);
  int exit_code = 0;
  if (FAILED(status)) {
    std::fprintf(stderr, "quillon-server: the type library in the executable did not load (0x%08lx)\n",
                 static_cast<unsigned long>(status));
    exit_code = 1;
  } else if (mode == Mode::kRegister) {
    status = RegisterServer(QuillonTypeLibrary(), type_library, executable);
    if (FAILED(status)) {
      std::fprintf(stderr, "quillon-server: registering failed (0x%08lx)\n", static_cast<unsigned long>(status));
      exit_code = 1;
    }
  } else if (mode == Mode::kUnregister) {
    status = UnregisterServer(QuillonTypeLibrary());
    if (FAILED(status)) {
      std::fprintf(stderr, "quillon-server: unregistering failed (0x%08lx)\n", static_cast<unsigned long>(status));
      exit_code = 1;
    }
  } else {
    exit_code = Serve(type_library);
  }
  if (type_library != nullptr) type_library->Release();
  // The last answers leave while messages are served; CoUninitialize can wait
  // for them forever otherwise.
  const Clock::time_point drained = Clock::now() + kDrainTime;
  while (Clock::now() < drained) {
    ServeMessages();
    MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  CoUninitialize();
  return exit_code;
}

}  // namespace quillon::com
