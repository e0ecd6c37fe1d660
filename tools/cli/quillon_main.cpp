// quillon: Quillon's classes from a shell, in process, and the server as a verb.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cli/session.h"
#include "cli/verbs.h"
#include "core/status.h"
#include "core/text.h"

using namespace quillon;
using namespace quillon::cli;

namespace {

// The verb the command line names, for the prefix of a message.
std::string VerbName(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands()) return "quillon " + sub->get_name();
  return "quillon";
}

void Report(const std::string& who, const std::string& what, const std::string& hint) {
  std::fprintf(stderr, "%s: %s\n", who.c_str(), what.c_str());
  if (!hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) return RunServe(argc, argv);
  // A peer that closes early must give an error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{
      "quillon: Quillon's classes from the shell, run in this process (no server needed), and the automation "
      "server itself.",
      "quillon"};
  app.set_version_flag("--version", std::string("quillon ") + QUILLON_VERSION);
  app.require_subcommand(0, 1);
  std::vector<std::unique_ptr<Verb>> verbs;
  verbs.push_back(AddGetVerb(app));
  verbs.push_back(AddHostVerb(app));
  verbs.push_back(AddLocateVerb(app));
  verbs.push_back(AddGzipVerb(app));
  verbs.push_back(AddGunzipVerb(app));
  verbs.push_back(AddTypelibVerb(app));
  AddServeVerb(app);
  app.footer(
      "Run 'quillon VERB --help' for a verb's options. Exit status: 0 done, 1 the job failed, 2 the command\n"
      "line was wrong. The guide: docs/guide.md.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version: CLI11 prints them for the verb they were asked of.
    if (error.get_exit_code() == 0) return app.exit(error);
    const std::string who = VerbName(app);
    Report(who, error.what(), "Run '" + who + " --help' for its usage.");
    return kExitUsage;
  }

  for (const auto& verb : verbs) {
    if (!verb->command()->parsed()) continue;
    const std::string who = "quillon " + verb->command()->get_name();
    try {
      return verb->Run();
    } catch (const Failure& failure) {
      Report(who, failure.what(), failure.hint());
      return failure.status();
    } catch (const DispatchError& error) {
      Report(who, DescribeDispatchError(error), "");
      return kExitFailed;
    } catch (const RuntimeError& error) {
      Report(who, Utf16ToUtf8(error.description()), "");
      return kExitFailed;
    } catch (const std::exception& error) {
      Report(who, error.what(), "");
      return kExitFailed;
    }
  }
  std::fputs(app.help().c_str(), stderr);
  return kExitUsage;
}
