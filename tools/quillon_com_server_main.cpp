// quillon-server.exe, the Windows front end: a COM local server (src/com/).
#include "com/com_server.h"

int main(int argc, char** argv) { return quillon::com::RunComServer(argc, argv); }
