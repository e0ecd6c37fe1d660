// The POSIX socket layer reports errno values as the Winsock numbers scripts
// compare with.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/posix/winsock_errors.h"
#include "platform/socket_layer.h"

namespace quillon::http {
namespace {

TEST(HttpErrors, ErrnoValuesBecomeTheirWinsockTwins) {
  EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinsockErrorFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WinsockErrorFromErrno(EIO), wsa::kSysCallFailure);
}

}  // namespace
}  // namespace quillon::http
