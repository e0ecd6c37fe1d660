// quillon get: one download through a Downloader, with the events driving it
// and the members' own error texts (ErrorString) in every message.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/http_url.h"
#include "cli/progress.h"
#include "cli/session.h"
#include "cli/verbs.h"
#include "core/convert.h"
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

// Statuses whose Location names where the file is now.
bool IsRedirect(int32_t code) { return code == 301 || code == 302 || code == 303 || code == 307 || code == 308; }

// Redirects -L follows before it gives up, as curl does by default with -L.
constexpr int kMaxRedirects = 10;

// --timeout: a positive number of seconds.
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
      char* end = nullptr;
      errno = 0;
      const double value = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0) {
        return "'" + text + "' is not a number of seconds greater than 0";
      }
      return {};
    },
    "");

// One reply, as the Downloader's members and events tell it.
struct Reply {
  int32_t code = 0;
  std::string reason;  // the status line's reason, without a Location line
  std::string header;  // ServerHeader
  int64_t size = 0;    // CurSize
};

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
                  "an existing folder saves under that name inside it; - writes the file to stdout")
        ->type_name("FILE");
    c->add_flag("--text", text_,
                "Save as text (WriteTextFile): line ends become CR LF. Default: the bytes as received "
                "(WriteBinaryFile)");
    c->add_flag("--force", force_, "Replace the output file when it exists");
    c->add_flag("-L,--location", follow_,
                "Follow redirects (301, 302, 303, 307, 308) to http:// URLs, up to 10 of them; the file keeps "
                "the name taken from URL");
    c->add_option("--timeout", timeout_,
                  "Give up after SECONDS and close the connection (DisconnectNetwork); by default the "
                  "download may take as long as it takes")
        ->check(kSeconds)
        ->type_name("SECONDS");
    c->footer(
        "Prints the server's status code and reason, then where the file went (on stderr when -o - sends the\n"
        "file to stdout). Progress goes to stderr: a bar on a terminal, a line a second otherwise. Exit status 1\n"
        "when the request fails, the status is 400 or more, the server redirects (unless -L follows it), fewer\n"
        "bytes arrive than the reply's Content-Length says, or the file cannot be saved; nothing is saved then.\n\n"
        "Examples:\n  quillon get http://127.0.0.1:8000/notes.txt -o notes.txt --text\n"
        "  quillon get -L http://127.0.0.1:8000/latest -o - | tar xz");
  }

  int Run() override {
    std::string why;
    const std::optional<HttpTarget> first = ParseHttpUrl(url_, &why);
    if (!first) {
      throw Failure("cannot download " + url_ + ": " + why, "Example: quillon get http://127.0.0.1:8000/file.txt",
                    kExitUsage);
    }
    to_stdout_ = output_ == "-";
    info_ = to_stdout_ ? stderr : stdout;
    const std::string output = to_stdout_ ? std::string() : OutputPath(*first);
    if (!to_stdout_) CheckDestination(output);

    Session session;
    const std::shared_ptr<Dispatch> downloader = session.Create(u"Quillon.Downloader");
    Dispatch& d = *downloader;
    const std::shared_ptr<EventSink> sink = EventSink::Connect(d);
    sink->On("OnConnect", [&](std::span<Variant>) {
      std::fprintf(stderr, "connected to %s\n", Endpoint(target_).c_str());
    });
    sink->On("OnDownloadFinish", [&](std::span<Variant> args) {
      finished_ = true;
      code_ = ToLong(args[0]);
      reason_ = Utf8(args[1]);
    });

    const auto start = Session::Clock::now();
    std::optional<Session::Clock::time_point> deadline;
    if (timeout_ > 0) {
      deadline = start + std::chrono::duration_cast<Session::Clock::duration>(std::chrono::duration<double>(timeout_));
    }
    target_ = *first;
    for (int redirects = 0;; ++redirects) {
      const Reply reply = Fetch(session, d, start, deadline);
      const std::optional<std::string> location =
          IsRedirect(reply.code) ? HeaderField(reply.header, "location") : std::nullopt;
      if (!location) return Report(d, reply, output);

      std::fprintf(info_, "%d %s\nLocation: %s\n", reply.code, reply.reason.c_str(), location->c_str());
      std::fflush(info_);
      const std::optional<HttpTarget> next = ResolveRedirect(target_, *location, &why);
      if (!follow_) {
        throw Failure("the server redirects to " + (next ? TargetUrl(*next) : *location) + "; nothing was saved",
                      "Pass -L to follow redirects, or download the new location instead.");
      }
      if (!next) {
        throw Failure("cannot follow the redirect to " + *location + ": " + why + "; nothing was saved",
                      "Download that location with a program that supports it.");
      }
      if (redirects == kMaxRedirects) {
        throw Failure("more than " + std::to_string(kMaxRedirects) + " redirects; nothing was saved",
                      "The server may redirect in a circle; the last one led to " + TargetUrl(*next) + ".");
      }
      target_ = *next;
    }
  }

 private:
  std::string OutputPath(const HttpTarget& target) const {
    if (output_.empty()) return DefaultFileName(target.path);
    std::error_code ignored;
    if (fs::is_directory(output_, ignored)) return (fs::path(output_) / DefaultFileName(target.path)).string();
    return output_;
  }

  // Found out before the download rather than after it.
  void CheckDestination(const std::string& output) const {
    std::error_code ignored;
    if (!force_ && fs::exists(fs::symlink_status(output, ignored))) {
      throw Failure("cannot save to " + output + ": File exists",
                    "Pass --force to replace it, or -o to save elsewhere.");
    }
    const fs::path folder = fs::path(output).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ignored)) {
      const bool exists = fs::exists(folder, ignored);
      throw Failure("cannot save to " + output + ": the folder " + folder.string() +
                        (exists ? " is not a folder" : " does not exist"),
                    exists ? "Pass -o a path in an existing folder."
                           : "Create it first (mkdir -p " + folder.string() + "), or pass -o a path in an existing "
                             "folder.");
    }
  }

  // Requests target_ and waits for the whole reply.
  Reply Fetch(Session& session, Dispatch& d, Session::Clock::time_point start,
              std::optional<Session::Clock::time_point> deadline) {
    finished_ = false;
    Put(d, "Port", Variant::I4(target_.port));
    const int32_t started = StatusOf(Call(d, "RequestFile", {Text(target_.host), Text(target_.path)}));
    if (started != 0) {
      throw Failure("cannot download " + TargetUrl(target_) + ": " + Utf8(Get(d, "ErrorString")) + " (code " +
                        std::to_string(started) + ")",
                    RequestHint(started, target_));
    }

    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    ProgressMeter meter(stderr, terminal, TerminalWidth(STDERR_FILENO));
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
        if (error || finished_) return;
        meter.Update(sample());
        schedule();
      });
    };
    schedule();

    const Session::Wait waited = session.RunUntil([&] { return finished_; }, deadline);
    tick.cancel();
    if (waited != Session::Wait::kDone) {
      meter.Break();
      Call(d, "DisconnectNetwork");
      if (waited == Session::Wait::kDeadline) {
        throw Failure("no complete reply from " + Endpoint(target_) + " within " + FormatElapsed(timeout_) +
                          "; the connection was closed",
                      "Raise --timeout, or check that the server is answering.");
      }
      throw Failure("the download from " + Endpoint(target_) + " stopped without an answer");
    }
    const Progress last = sample();
    meter.Finish(last);
    Reply reply{code_, reason_, Utf8(Get(d, "ServerHeader")), last.bytes};
    // A 301 to 303 reason carries the Location line after the reason itself.
    if (reply.code > 300 && reply.code < 304) {
      if (const size_t at = reply.reason.find("Location:"); at != std::string::npos) reply.reason.resize(at);
    }
    return reply;
  }

  // No status line: either no HTTP at all, or a header that did not end within
  // the first block read, which the Downloader then keeps as file content.
  [[noreturn]] void FailWithoutStatus(Dispatch& d, const Reply& reply) {
    const std::string content = reply.size > 0 ? Utf8(Get(d, "CurFileAsString")) : std::string();
    if (content.starts_with("HTTP/")) {
      const size_t end = content.find("\r\n\r\n");
      const std::string length = end == std::string::npos
                                     ? "more than " + std::to_string(content.size()) + " bytes"
                                     : std::to_string(end + 4) + " bytes";
      throw Failure("the reply from " + Endpoint(target_) + " has a header of " + length +
                        ", longer than the Downloader reads: its header must end within the first block read (" +
                        std::to_string(http::kReadBlockSize) + " bytes at most); nothing was saved",
                    "Ask the server for a shorter header (fewer or smaller cookies or header lines).");
    }
    throw Failure("the reply from " + Endpoint(target_) + " had no HTTP status line; nothing was saved",
                  "Is it a web server that listens on that port?");
  }

  int Report(Dispatch& d, const Reply& reply, const std::string& output) {
    if (reply.code == -1) {
      throw Failure("the connection to " + Endpoint(target_) + " broke while receiving (error " + reply.reason + ")");
    }
    if (reply.code <= 0) FailWithoutStatus(d, reply);
    std::fprintf(info_, "%d %s\n", reply.code, reply.reason.c_str());
    std::fflush(info_);
    if (reply.code >= 400) {
      throw Failure("the server answered " + std::to_string(reply.code) + " " + reply.reason + "; nothing was saved");
    }
    if (const std::optional<int64_t> length = ContentLength(reply.header); length && reply.size < *length) {
      throw Failure("the reply was cut short: " + std::to_string(reply.size) + " of " + std::to_string(*length) +
                        " bytes arrived; nothing was saved",
                    "The connection closed before the whole file came; try again.");
    }

    if (to_stdout_) return CopyToStdout(d, reply);
    if (reply.size == 0) {
      // The Downloader has no content to save, and an empty file is what was sent.
      const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (force_ ? 0 : O_EXCL), 0666);
      if (fd < 0 || ::close(fd) != 0) throw Failure("cannot save to " + output + ": " + std::strerror(errno));
    } else {
      Save(d, output);
    }
    std::error_code ignored;
    const auto size = fs::file_size(output, ignored);
    std::fprintf(info_, "saved %s (%llu bytes%s)\n", output.c_str(),
                 static_cast<unsigned long long>(ignored ? 0 : size), text_ ? ", as text" : "");
    return kExitOk;
  }

  void Save(Dispatch& d, const std::string& output) {
    const char* member = text_ ? "WriteTextFile" : "WriteBinaryFile";
    const int32_t saved = StatusOf(Call(d, member, {Text(output), Variant::Bool(force_ || to_stdout_)}));
    if (saved != 0) {
      throw Failure("cannot save to " + output + ": " + Utf8(Get(d, "ErrorString")),
                    saved == 1 ? "Pass --force to replace it, or -o to save elsewhere." : "");
    }
  }

  // The members save to files only: the file goes through a private folder.
  int CopyToStdout(Dispatch& d, const Reply& reply) {
    int64_t copied = 0;
    if (reply.size > 0) {
      const fs::path base = fs::temp_directory_path();
      std::string pattern = (base / "quillon-get-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr) {
        throw Failure("cannot make a folder in " + base.string() + ": " + std::strerror(errno),
                      "Set TMPDIR to a writable folder.");
      }
      const fs::path folder = pattern;
      const std::string file = (folder / "file").string();
      struct Cleanup {
        fs::path folder;
        ~Cleanup() {
          std::error_code ignored;
          fs::remove_all(folder, ignored);
        }
      } cleanup{folder};
      Save(d, file);
      std::FILE* in = std::fopen(file.c_str(), "rb");
      if (in == nullptr) throw Failure("cannot read back " + file + ": " + std::strerror(errno));
      char buffer[65536];
      size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (std::fwrite(buffer, 1, n, stdout) != n) break;
        copied += static_cast<int64_t>(n);
      }
      std::fclose(in);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      throw Failure(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    std::fprintf(stderr, "wrote %lld bytes to standard output%s\n", static_cast<long long>(copied),
                 text_ ? ", as text" : "");
    return kExitOk;
  }

  std::string url_;
  std::string output_;
  bool text_ = false;
  bool force_ = false;
  bool follow_ = false;
  double timeout_ = 0;  // seconds; 0: no limit

  bool to_stdout_ = false;
  std::FILE* info_ = stdout;  // status lines and what was saved
  HttpTarget target_;         // the URL being fetched
  bool finished_ = false;     // OnDownloadFinish came
  int32_t code_ = 0;
  std::string reason_;
};

}  // namespace

std::unique_ptr<Verb> AddGetVerb(CLI::App& app) { return std::make_unique<GetVerb>(app); }

}  // namespace quillon::cli
