// The server with the test-only EventProbe class added.
#include "event_probe.h"
#include "server/server_main.h"

int main(int argc, char** argv) { return quillon::server::RunServer(argc, argv, quillon::testing::RegisterEventProbe); }
