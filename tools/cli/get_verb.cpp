// quillon get: one download through a Downloader, with the events driving it
// and the members' own error texts (ErrorString) in every message.
#include <sys/ioctl.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/http_url.h"
#include "cli/progress.h"
#include "cli/session.h"
#include "cli/verbs.h"
#include "host/convert.h"
#include "http/http_protocol.h"

namespace quillon::cli {
namespace {

namespace fs = std::filesystem;

int TerminalWidth(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

std::string Endpoint(const HttpTarget& target) { return target.host + ":" + std::to_string(target.port); }

// What to do about a request the Downloader refused to start.
std::string RequestHint(int32_t code, const HttpTarget& target) {
  switch (code) {
    case http::code::kNotOnline:
      return "Quillon sees no network interface up besides loopback. Set QUILLON_NETWORK_STATE=online to "
             "connect anyway.";
    case http::code::kViaProxy:
      return "Quillon connects to servers directly and will not while a proxy is configured (http_proxy, "
             "HTTP_PROXY, https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY). Unset them for this command, or set "
             "QUILLON_NETWORK_STATE=online.";
    case http::code::kResolveFailed: {
      const char* servers = std::getenv("QUILLON_DNS_SERVERS");
      std::string hint = "Check the server name " + target.host + ".";
      if (servers != nullptr && servers[0] != '\0') {
        hint += std::string(" Only the DNS servers in QUILLON_DNS_SERVERS (") + servers + ") were asked.";
      }
      return hint;
    }
    case http::code::kConnectFailed:
      return "Is a web server listening on " + Endpoint(target) + "? Check the host and the port in the URL.";
    case http::code::kSendFailed:
      return "The server closed the connection before it took the request.";
  }
  return {};
}

// A 301 to 303 reason carries the Location line after the reason itself.
std::pair<std::string, std::string> SplitRedirect(int32_t code, const std::string& reason) {
  if (code > 300 && code < 304) {
    const size_t at = reason.find("Location:");
    if (at != std::string::npos) return {reason.substr(0, at), reason.substr(at)};
  }
  return {reason, {}};
}

class GetVerb final : public Verb {
 public:
  explicit GetVerb(CLI::App& app)
      : Verb(app.add_subcommand("get", "Download a file over HTTP with a Downloader and save it")) {
    CLI::App* c = command();
    c->add_option("URL", url_, "http://host[:port]/path; plain HTTP/1.0, the port defaults to 80")
        ->required()
        ->type_name("");
    c->add_option("-o,--output", output_,
                  "File to save to (default: the last segment of the URL's path, or index.html); "
                  "an existing folder saves under that name inside it")
        ->type_name("FILE");
    c->add_flag("--text", text_,
                "Save as text (WriteTextFile): line ends become CR LF. Default: the bytes as received "
                "(WriteBinaryFile)");
    c->add_flag("--force", force_, "Replace the output file when it exists");
    c->add_option("--timeout", timeout_,
                  "Give up after SECONDS and close the connection (DisconnectNetwork); by default the "
                  "download may take as long as it takes")
        ->check(CLI::PositiveNumber)
        ->type_name("SECONDS");
    c->footer(
        "Prints the server's status code and reason, then where the file went. Progress goes to stderr: a bar\n"
        "on a terminal, a line a second otherwise. Exit status 1 when the request fails, the status is 400 or\n"
        "more (nothing is saved then) or the file cannot be saved.\n\n"
        "Example:\n  quillon get http://127.0.0.1:8000/notes.txt -o notes.txt --text");
  }

  int Run() override {
    std::string why;
    const std::optional<HttpTarget> target = ParseHttpUrl(url_, &why);
    if (!target) {
      throw Failure("cannot download " + url_ + ": " + why, "Example: quillon get http://127.0.0.1:8000/file.txt",
                    kExitUsage);
    }
    const std::string output = OutputPath(*target);
    std::error_code ignored;
    if (!force_ && fs::exists(fs::symlink_status(output, ignored))) {
      // Found out before the download rather than after it.
      throw Failure("cannot save to " + output + ": File exists",
                    "Pass --force to replace it, or -o to save elsewhere.");
    }

    Session session;
    const std::shared_ptr<Dispatch> downloader = session.Create(u"Quillon.Downloader");
    Dispatch& d = *downloader;
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    ProgressMeter meter(stderr, terminal, TerminalWidth(STDERR_FILENO));

    bool finished = false;
    int32_t code = 0;
    std::string reason;
    const std::shared_ptr<EventSink> sink = EventSink::Connect(d);
    sink->On("OnConnect",
             [&](std::span<Variant>) { std::fprintf(stderr, "connected to %s\n", Endpoint(*target).c_str()); });
    sink->On("OnDownloadFinish", [&](std::span<Variant> args) {
      finished = true;
      code = ToLong(args[0]);
      reason = Utf8(args[1]);
    });

    Put(d, "Port", Variant::I4(target->port));
    const auto start = Session::Clock::now();
    const int32_t started = StatusOf(Call(d, "RequestFile", {Text(target->host), Text(target->path)}));
    if (started != 0) {
      throw Failure(
          "cannot download " + url_ + ": " + Utf8(Get(d, "ErrorString")) + " (code " + std::to_string(started) + ")",
          RequestHint(started, *target));
    }

    std::optional<int64_t> total;
    bool header_read = false;
    auto sample = [&] {
      if (!header_read) {
        const std::string header = Utf8(Get(d, "ServerHeader"));
        header_read = !header.empty();
        total = ContentLength(header);
      }
      return Progress{static_cast<int64_t>(ToDouble(Get(d, "CurSize"))), total,
                      std::chrono::duration<double>(Session::Clock::now() - start).count()};
    };
    asio::steady_timer tick(session.loop());
    std::function<void()> schedule = [&] {
      tick.expires_after(meter.interval());
      tick.async_wait([&](const asio::error_code& error) {
        if (error || finished) return;
        meter.Update(sample());
        schedule();
      });
    };
    schedule();

    std::optional<Session::Clock::time_point> deadline;
    if (timeout_ > 0) {
      deadline = start + std::chrono::duration_cast<Session::Clock::duration>(std::chrono::duration<double>(timeout_));
    }
    const Session::Wait waited = session.RunUntil([&] { return finished; }, deadline);
    tick.cancel();
    if (waited != Session::Wait::kDone) {
      meter.Break();
      Call(d, "DisconnectNetwork");
      if (waited == Session::Wait::kDeadline) {
        throw Failure("no complete reply from " + Endpoint(*target) + " within " + FormatElapsed(timeout_) +
                          "; the connection was closed",
                      "Raise --timeout, or check that the server is answering.");
      }
      throw Failure("the download from " + Endpoint(*target) + " stopped without an answer");
    }
    meter.Finish(sample());
    return Report(d, *target, code, reason, output);
  }

 private:
  std::string OutputPath(const HttpTarget& target) const {
    if (output_.empty()) return DefaultFileName(target.path);
    std::error_code ignored;
    if (fs::is_directory(output_, ignored)) return (fs::path(output_) / DefaultFileName(target.path)).string();
    return output_;
  }

  int Report(Dispatch& d, const HttpTarget& target, int32_t code, const std::string& reason,
             const std::string& output) {
    if (code == -1) {
      throw Failure("the connection to " + Endpoint(target) + " broke while receiving (error " + reason + ")");
    }
    if (code <= 0) {
      throw Failure("the reply from " + Endpoint(target) + " had no HTTP status line; nothing was saved",
                    "Is it a web server that listens on that port?");
    }
    const auto [text, location] = SplitRedirect(code, reason);
    std::printf("%d %s\n", code, text.c_str());
    if (!location.empty()) std::printf("%s\n", location.c_str());
    std::fflush(stdout);
    if (code >= 400) throw Failure("the server answered " + std::to_string(code) + " " + text + "; nothing was saved");

    const char* member = text_ ? "WriteTextFile" : "WriteBinaryFile";
    const int32_t saved = StatusOf(Call(d, member, {Text(output), Variant::Bool(force_)}));
    if (saved != 0) {
      std::string hint;
      if (saved == 1) hint = "Pass --force to replace it, or -o to save elsewhere.";
      if (saved == 2) hint = "The server sent no content after its header.";
      throw Failure("cannot save to " + output + ": " + Utf8(Get(d, "ErrorString")), hint);
    }
    std::error_code ignored;
    const auto size = fs::file_size(output, ignored);
    std::printf("saved %s (%llu bytes%s)\n", output.c_str(), static_cast<unsigned long long>(ignored ? 0 : size),
                text_ ? ", as text" : "");
    if (!location.empty()) {
      std::string moved = location.substr(9);
      while (!moved.empty() && moved.front() == ' ') moved.erase(moved.begin());
      std::fprintf(stderr, "note: the server redirects; what was saved is its redirect page. Download %s instead.\n",
                   moved.c_str());
    }
    return kExitOk;
  }

  std::string url_;
  std::string output_;
  bool text_ = false;
  bool force_ = false;
  double timeout_ = 0;  // seconds; 0: no limit
};

}  // namespace

std::unique_ptr<Verb> AddGetVerb(CLI::App& app) { return std::make_unique<GetVerb>(app); }

}  // namespace quillon::cli
