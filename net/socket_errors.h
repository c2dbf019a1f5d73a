// The socket error table: the numbers and texts the socket class reports,
// and the mapping of this system's errno and name look-up codes onto them.
#ifndef VANTOR_NET_SOCKET_ERRORS_H_
#define VANTOR_NET_SOCKET_ERRORS_H_

#include <cstdint>
#include <string>

namespace vantor {

// The table's number for a POSIX errno: ECONNREFUSED gives 10061, EAGAIN
// 10035, and so on; 0 gives 0. An errno without a counterpart gives -errno,
// which is not in the table (its text is "???").
int32_t SocketErrorNumber(int posix_errno);

// The table's number for a getaddrinfo()/getnameinfo() result: EAI_NONAME
// gives 11001 "Host not found.", EAI_AGAIN 11002, EAI_FAIL 11003, EAI_NODATA
// 11004; EAI_SYSTEM maps `posix_errno`. 0 gives 0.
int32_t LookupErrorNumber(int eai_code, int posix_errno);

// The table's text for `number` ("Connection refused." for 10061); any
// number not in the table gives "???".
std::string SocketErrorText(int32_t number);

}  // namespace vantor

#endif  // VANTOR_NET_SOCKET_ERRORS_H_
