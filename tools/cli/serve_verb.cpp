// quillon serve: the automation server. It runs as the quillon-server program
// installed beside this one whenever there is one, because clients recognise
// "their" server by the build of its binary: a server running inside this
// binary would look like another build to a client that starts quillon-server,
// and that client would ask it to exit and start its own.
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/verbs.h"
#include "core/env.h"
#include "server/server_main.h"

namespace quillon::cli {

void AddServeVerb(CLI::App& app) {
  app.add_subcommand("serve", "Run the automation server that scripts connect to (options: quillon serve --help)");
}

int RunServe(int argc, char** argv) {
  // The server names itself after argv[0] in its usage text.
  std::string name = "quillon serve";
  std::vector<char*> args = {name.data()};
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);

  const std::string sibling = DefaultEnv().ExecutableFolder() + "/quillon-server";
  if (::access(sibling.c_str(), X_OK) == 0) {
    ::execv(sibling.c_str(), args.data());
    // Not runnable after all: serve from this binary instead.
  }
  return server::RunServer(static_cast<int>(args.size() - 1), args.data());
}

}  // namespace quillon::cli
