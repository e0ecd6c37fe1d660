// quillon-server.exe: the COM front end, a local server of the product's classes.
#pragma once

namespace quillon::com {

// /RegServer, /UnregServer, or serve (COM starts the server with -Embedding).
int RunComServer(int argc, char** argv);

}  // namespace quillon::com
