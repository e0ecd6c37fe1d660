// Scripts compare socket errors with the Winsock numbers they know, so the
// POSIX layer reports errno values as their Winsock twins.
#pragma once

namespace quillon::http {

// The Winsock twin of an errno value; wsa::kSysCallFailure where there is none.
int WinsockErrorFromErrno(int error);

}  // namespace quillon::http
