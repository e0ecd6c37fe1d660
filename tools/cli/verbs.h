// The verbs of the quillon command. Each registers its subcommand with its
// options and runs when that subcommand was given.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>

namespace quillon::cli {

class Verb {
 public:
  explicit Verb(CLI::App* command) : command_(command) {}
  virtual ~Verb() = default;
  Verb(const Verb&) = delete;
  Verb& operator=(const Verb&) = delete;

  CLI::App* command() const { return command_; }
  // The exit status; a Failure thrown from here is reported by the caller.
  virtual int Run() = 0;

 private:
  CLI::App* command_;
};

std::unique_ptr<Verb> AddGetVerb(CLI::App& app);
std::unique_ptr<Verb> AddHostVerb(CLI::App& app);
std::unique_ptr<Verb> AddLocateVerb(CLI::App& app);
std::unique_ptr<Verb> AddGzipVerb(CLI::App& app);
std::unique_ptr<Verb> AddGunzipVerb(CLI::App& app);
std::unique_ptr<Verb> AddTypelibVerb(CLI::App& app);

// `serve` takes the server's own options, which the server parses: it is
// registered only so that `quillon --help` lists it, and runs before CLI11
// parses anything.
void AddServeVerb(CLI::App& app);
int RunServe(int argc, char** argv);

}  // namespace quillon::cli
