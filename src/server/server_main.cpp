#include "product/quillon_product.h"
#include "platform/process_memory.h"
#include "server/server_main.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>
#include <asio/io_context.hpp>

#include "core/host.h"
#include "core/memory.h"
#include "server/logger.h"
#include "server/protocol.h"
#include "server/server.h"
#include "server/socket_setup.h"

namespace quillon::server {
namespace {

std::chrono::milliseconds Millis(double seconds) {
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0 + 0.5));
}

}  // namespace

int RunServer(int argc, char** argv, const ServerExtension& extend) {
  std::string socket_path;
  double idle_exit = 0;
  double event_timeout = 30;
  size_t max_frame = kDefaultMaxFrame;
  std::string log_path;
  int64_t spin_wait = 200;
  const int64_t available_memory = MemoryAvailableToProcess();
  int64_t max_download = available_memory > 0 ? available_memory / 4 : int64_t{1} << 30;

  constexpr double kYear = 365.0 * 24 * 3600;
  const std::string build_id = ComputeBuildId();
  CLI::App app{"Quillon automation server: serves the Quillon classes to clients on a Unix socket "
               "(JSON-RPC 2.0 with Content-Length framing; see docs/protocol.md)."};
  app.add_option("--socket", socket_path,
                 "Socket to listen on (default: $QUILLON_SOCKET, else $XDG_RUNTIME_DIR/quillon/quillon.sock, "
                 "else /tmp/quillon-UID/quillon.sock; a socket systemd hands over takes its place)")
      ->type_name("PATH");
  app.add_option("--idle-exit", idle_exit, "Exit after SECONDS with no connection (0: never)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, kYear));
  app.add_option("--event-timeout", event_timeout,
                 "A client that does not answer an event within SECONDS loses every event sink it holds")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.001, kYear))
      ->capture_default_str();
  app.add_option("--max-frame", max_frame, "Largest frame body in bytes, both ways")
      ->type_name("BYTES")
      ->check(CLI::Range(size_t{1024}, kDefaultMaxFrame))
      ->capture_default_str();
  app.add_option("--max-download", max_download,
                 "What the downloads of all clients may hold in memory together; a download that would "
                 "pass it ends with OnDownloadFinish(-1, \"10055\"). Suffixes K, M, G (1024-based); 0: no limit. "
                 "Default: a quarter of the memory available to the process")
      ->envname("QUILLON_MAX_DOWNLOAD")
      ->type_name("BYTES")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--spin-wait", spin_wait,
                 "Microseconds a client's thread keeps looking for the client's next call before it sleeps, "
                 "which saves the cost of waking it; the window adapts to the client, and at most one "
                 "thread fewer than the machine has processors spins at once (0: never)")
      ->type_name("MICROSECONDS")
      ->check(CLI::Range(int64_t{0}, int64_t{100'000}))
      ->capture_default_str();
  app.add_option("--log", log_path, "Append the log to FILE instead of stderr")->type_name("FILE");
  app.set_version_flag("--version", std::string("quillon-server ") + QUILLON_VERSION + " (protocol " +
                                        std::to_string(kProtocolVersion) + ", build " + build_id + ")");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }

  // Under socket activation systemd made the socket and keeps it; the server
  // only accepts on it. The variables go before anything else can inherit them.
  int activated_fd = -1;
  std::string error;
  if (!TakeActivatedSocket(&activated_fd, &error)) {
    std::fprintf(stderr, "quillon-server: %s\n", error.c_str());
    return 1;
  }

  std::signal(SIGPIPE, SIG_IGN);
  Logger log;
  if (!log_path.empty() && !log.OpenFile(log_path)) {
    std::perror(("quillon-server: cannot open the log " + log_path).c_str());
    return 1;
  }

  ServerOptions options;
  if (activated_fd >= 0) {
    options.activated_fd = activated_fd;
    options.socket_path = BoundPath(activated_fd);
  } else {
    options.socket_path = socket_path.empty() ? DefaultSocketPath() : socket_path;
  }
  options.idle_exit = Millis(idle_exit);
  options.event_timeout = Millis(event_timeout);
  options.max_frame = max_frame;
  options.build_id = build_id;
  options.spin_limit = std::chrono::microseconds(spin_wait);

  asio::io_context loop(1);
  QuillonHost host;
  host.download_memory().set_limit(max_download > 0 ? max_download : MemoryBudget::kUnlimited);
  host.set_largest_answer(max_frame);
  host.network() = NetworkSettingsFromEnvironment();
  TypeLibrary library = QuillonTypeLibrary();
  if (extend) extend(host.registry(), library);

  Server server(loop, host, library, options, log);
  if (!server.Listen(&error)) {
    std::fprintf(stderr, "quillon-server: %s\n", error.c_str());
    return 1;
  }
  loop.run();
  log.Line("stopped");
  return 0;
}

}  // namespace quillon::server
