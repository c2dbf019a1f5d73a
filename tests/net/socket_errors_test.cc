#include "net/socket_errors.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

namespace vantor {
namespace {

struct ErrnoCase {
  int posix_errno;
  int32_t number;
  const char* text;
};

TEST(SocketErrorsTest, ErrnoMapsToTheTableEntry) {
  const ErrnoCase cases[] = {
      {ECONNREFUSED, 10061, "Connection refused."},
      {EAGAIN, 10035, "Operation would block."},
      {EINPROGRESS, 10036, "Operation now in progress."},
      {EADDRINUSE, 10048, "Address already in use."},
      {EADDRNOTAVAIL, 10049, "Can't assign requested address."},
      {ENETUNREACH, 10051, "Network is unreachable."},
      {ECONNRESET, 10054, "Connection reset by peer."},
      {ENOTCONN, 10057, "Socket is not connected."},
      {EPIPE, 10058, "Can't send after socket shutdown."},
      {ETIMEDOUT, 10060, "Connection timed out."},
      {EHOSTUNREACH, 10065, "No route to host."},
      {EINVAL, 10022, "Invalid Argument."},
      {EACCES, 10013, "Permission Denied."},
      {EMFILE, 10024, "Too many open files."},
      {EAFNOSUPPORT, 10047, "Address family not supported by protocol family."},
  };
  for (const ErrnoCase& c : cases) {
    EXPECT_EQ(SocketErrorNumber(c.posix_errno), c.number) << c.posix_errno;
    EXPECT_EQ(SocketErrorText(SocketErrorNumber(c.posix_errno)), c.text)
        << c.posix_errno;
  }
}

TEST(SocketErrorsTest, NumbersOutsideTheTableAreQuestionMarks) {
  EXPECT_EQ(SocketErrorNumber(0), 0);
  EXPECT_EQ(SocketErrorText(0), "???");
  EXPECT_EQ(SocketErrorText(10000), "???");
  EXPECT_EQ(SocketErrorText(10072), "???");
  // Linux numbers errno differently from the table's origin: an errno
  // without a counterpart must not fall on an unrelated entry (EDEADLK is 35
  // here, and 10035 is "would block").
  EXPECT_LT(SocketErrorNumber(EDEADLK), 0);
  EXPECT_EQ(SocketErrorText(SocketErrorNumber(EDEADLK)), "???");
}

TEST(SocketErrorsTest, LookUpCodes) {
  EXPECT_EQ(LookupErrorNumber(0, 0), 0);
  EXPECT_EQ(LookupErrorNumber(EAI_NONAME, 0), 11001);
  EXPECT_EQ(LookupErrorNumber(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(LookupErrorNumber(EAI_FAIL, 0), 11003);
  EXPECT_EQ(LookupErrorNumber(EAI_SYSTEM, ECONNREFUSED), 10061);
  EXPECT_EQ(SocketErrorText(11001), "Host not found.");
}

}  // namespace
}  // namespace vantor
