#include "server/server_main.h"

int main(int argc, char** argv) { return quillon::server::RunServer(argc, argv); }
