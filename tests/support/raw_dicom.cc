#include "tests/support/raw_dicom.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vantor {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kImplicitLittleEndian[] = "1.2.840.10008.1.2";

std::string Be16(uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}
std::string Be32(uint32_t v) { return Be16(v >> 16) + Be16(v & 0xFFFF); }
std::string Le16(uint16_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::string Pdu(uint8_t type, const std::string& body) {
  return std::string(1, static_cast<char>(type)) + '\0' +
         Be32(static_cast<uint32_t>(body.size())) + body;
}

std::string Item(uint8_t type, const std::string& body) {
  return std::string(1, static_cast<char>(type)) + '\0' +
         Be16(static_cast<uint16_t>(body.size())) + body;
}

std::string Title(const std::string& t) {
  std::string s = t.substr(0, 16);
  s.resize(16, ' ');
  return s;
}

uint16_t ReadLe16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               (static_cast<unsigned char>(s[at + 1]) << 8));
}
uint32_t ReadLe32(const std::string& s, size_t at) {
  return ReadLe16(s, at) | (static_cast<uint32_t>(ReadLe16(s, at + 2)) << 16);
}
uint32_t ReadBe32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i)
    v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

}  // namespace

RawConnection::RawConnection(int port, const std::string& source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!source.empty()) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      ::close(fd_);
      throw std::runtime_error("bind " + source);
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    throw std::runtime_error("connect");
  }
}

RawConnection::~RawConnection() { Close(); }

void RawConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n =
        ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<RawPdu> RawConnection::ReadPdu(
    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (pending_.size() >= 6) {
      size_t length = ReadBe32(pending_, 2);
      if (pending_.size() >= 6 + length) {
        RawPdu pdu{static_cast<uint8_t>(pending_[0]),
                   pending_.substr(6, length)};
        pending_.erase(0, 6 + length);
        return pdu;
      }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0 || fd_ < 0) return std::nullopt;
    pollfd pfd{fd_, POLLIN, 0};
    int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buf[65536];
    ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(got));
  }
}

bool RawConnection::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buf[4096];
    ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
  }
}

std::string AssociateRq(
    const std::string& called, const std::string& calling,
    const std::vector<std::pair<uint8_t, std::string>>& contexts) {
  std::string body = Be16(1) + Be16(0) + Title(called) + Title(calling) +
                     std::string(32, '\0');
  body += Item(0x10, "1.2.840.10008.3.1.1.1");
  for (const auto& [id, abstract_syntax] : contexts) {
    body += Item(0x20, std::string(1, static_cast<char>(id)) +
                           std::string(3, '\0') + Item(0x30, abstract_syntax) +
                           Item(0x40, kImplicitLittleEndian));
  }
  body += Item(0x50, Item(0x51, Be32(16384)) + Item(0x52, "1.2.3.4"));
  return Pdu(0x01, body);
}

std::string ReleaseRq() { return Pdu(kPduReleaseRq, std::string(4, '\0')); }
std::string ReleaseRp() { return Pdu(kPduReleaseRp, std::string(4, '\0')); }
std::string AbortPdu() { return Pdu(kPduAbort, std::string(4, '\0')); }

std::string PData(uint8_t context_id, bool command, const std::string& data,
                  size_t fragment) {
  std::string out;
  size_t at = 0;
  do {
    size_t n = std::min(fragment, data.size() - at);
    bool last = at + n == data.size();
    uint8_t header = (command ? 0x01 : 0x00) | (last ? 0x02 : 0x00);
    std::string pdv = Be32(static_cast<uint32_t>(n + 2)) +
                      static_cast<char>(context_id) +
                      static_cast<char>(header) + data.substr(at, n);
    out += Pdu(kPduData, pdv);
    at += n;
  } while (at < data.size());
  return out;
}

std::string Element(uint16_t group, uint16_t element,
                    const std::string& value) {
  return Le16(group) + Le16(element) +
         Le32(static_cast<uint32_t>(value.size())) + value;
}

std::string UsElement(uint16_t group, uint16_t element, uint16_t value) {
  return Element(group, element, Le16(value));
}

std::string UidElement(uint16_t group, uint16_t element,
                       const std::string& uid) {
  std::string v = uid;
  if (v.size() % 2 != 0) v += '\0';
  return Element(group, element, v);
}

std::string CommandSet(const std::string& elements) {
  return Element(0x0000, 0x0000, Le32(static_cast<uint32_t>(elements.size()))) +
         elements;
}

std::string EchoRq(uint16_t message_id) {
  return CommandSet(UidElement(0x0000, 0x0002, kVerificationUid) +
                    UsElement(0x0000, 0x0100, 0x0030) +
                    UsElement(0x0000, 0x0110, message_id) +
                    UsElement(0x0000, 0x0800, 0x0101));
}

std::string StoreRq(uint16_t message_id, const std::string& sop_class,
                    const std::string& sop_instance) {
  return CommandSet(UidElement(0x0000, 0x0002, sop_class) +
                    UsElement(0x0000, 0x0100, 0x0001) +
                    UsElement(0x0000, 0x0110, message_id) +
                    UsElement(0x0000, 0x0700, 0x0000) +
                    UsElement(0x0000, 0x0800, 0x0000) +
                    UidElement(0x0000, 0x1000, sop_instance));
}

std::optional<RawResponse> ReadResponse(RawConnection& c,
                                        std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string command;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    std::optional<RawPdu> pdu = c.ReadPdu(left);
    if (!pdu || pdu->type != kPduData) return std::nullopt;
    bool last = false;
    for (size_t at = 0; at + 6 <= pdu->body.size();) {
      size_t length = ReadBe32(pdu->body, at);
      uint8_t header = static_cast<uint8_t>(pdu->body[at + 5]);
      if (header & 0x01) {
        command += pdu->body.substr(at + 6, length - 2);
        if (header & 0x02) last = true;
      }
      at += 4 + length;
    }
    if (last) break;
  }
  RawResponse r;
  for (size_t at = 0; at + 8 <= command.size();) {
    uint16_t element = ReadLe16(command, at + 2);
    uint32_t length = ReadLe32(command, at + 4);
    if (at + 8 + length > command.size()) break;
    if (length == 2) {
      uint16_t v = ReadLe16(command, at + 8);
      if (element == 0x0100) r.command_field = v;
      if (element == 0x0900) r.status = v;
      if (element == 0x0120) r.answered_id = v;
    }
    at += 8 + length;
  }
  return r;
}

bool Associate(RawConnection& c, const std::string& calling,
               const std::vector<std::pair<uint8_t, std::string>>& contexts) {
  if (!c.Send(AssociateRq("VANTOR", calling, contexts))) return false;
  std::optional<RawPdu> pdu = c.ReadPdu(std::chrono::seconds(10));
  return pdu && pdu->type == kPduAssociateAc;
}

}  // namespace vantor
