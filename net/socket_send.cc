// Sending on the socket class: streams (SendData, SendFile) and datagrams
// (SendDataTo).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>

#include "host/base/failure.h"
#include "host/base/paths.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "net/tls.h"

namespace vantor {

using namespace socket_io;

std::string Socket::TextBytes(const std::string& text) const {
  // Text is UTF-8 inside the service, which is this platform's ANSI.
  return text + LineSeparator;
}

SocketBytes Socket::ValueBytes(const Value& value) {
  // The text form of a number, date or flag is ASCII: one UTF-16LE code
  // unit per character.
  const std::string text = value.ToText();
  SocketBytes bytes;
  bytes.reserve(text.size() * 2);
  for (unsigned char c : text) {
    bytes.push_back(c);
    bytes.push_back(0);
  }
  return bytes;
}

void Socket::SendData(const std::string& text) {
  const std::string bytes = TextBytes(text);
  SendBytes(SocketBytes(bytes.begin(), bytes.end()));
}

void Socket::SendData(const SocketBytes& bytes) { SendBytes(bytes); }

void Socket::SendData(const Value& value) {
  if (value.IsText()) {
    SendData(value.text());
    return;
  }
  SendBytes(ValueBytes(value));
}

bool Socket::SendBytes(const SocketBytes& bytes) {
  bool all_sent = false;
  GuardVoid("SendData", [&] {
    if (fd_ < 0 || bytes.empty()) return;
    const milliseconds stall_limit =
        TimeOut != 0 ? TimeOutMs(TimeOut) : kSendStallDefault;
    size_t sent = 0;
    Clock::time_point last_progress = Clock::now();
    bool waited = false;
    while (sent < bytes.size() && fd_ >= 0) {
      const size_t rest = bytes.size() - sent;
      ssize_t n;
      if (SSLHandle != 0) {
        n = ssl_send(SSLHandle, bytes.data() + sent,
                     static_cast<int32_t>(std::min<size_t>(rest, INT32_MAX)));
      } else {
        n = ::send(fd_, bytes.data() + sent, rest, MSG_NOSIGNAL);
      }
      if (n > 0) {
        sent += static_cast<size_t>(n);
        last_progress = Clock::now();
        continue;
      }
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) break;
      // Would block: wait for room, but a peer that stops reading does not
      // hold the caller longer than the stall limit.
      waited = true;
      const auto left = std::chrono::duration_cast<milliseconds>(
          last_progress + stall_limit - Clock::now());
      if (left.count() <= 0) {
        Disconnect();
        return;
      }
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
    }
    all_sent = sent == bytes.size();
    if (waited && fd_ >= 0 && mode_ == Mode::kConnected) {
      write_armed_ = true;
      UpdateInterest();
    }
  });
  return all_sent;
}

void Socket::SendDataTo(const std::string& text, const std::string& host,
                        int32_t Port) {
  const std::string bytes = TextBytes(text);
  SendDatagram(SocketBytes(bytes.begin(), bytes.end()), host, Port);
}

void Socket::SendDataTo(const SocketBytes& bytes, const std::string& host,
                        int32_t Port) {
  SendDatagram(bytes, host, Port);
}

void Socket::SendDataTo(const Value& value, const std::string& host,
                        int32_t Port) {
  if (value.IsText()) {
    SendDataTo(value.text(), host, Port);
    return;
  }
  SendDatagram(ValueBytes(value), host, Port);
}

void Socket::SendDatagram(const SocketBytes& bytes, const std::string& host,
                          int32_t Port) {
  int udp = -1;
  GuardVoid("SendDataTo", [&] {
    Protocol = kProtocolUdp;
    // The datagram goes from a socket of its own; one this object held
    // before is closed rather than lost.
    if (fd_ >= 0) Disconnect();
    if (Port < 0 || Port > 65535) return;
    udp = NewSocket(SOCK_DGRAM);
    if (udp < 0) return;
    int on = 1;
    ::setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const sockaddr_in to = Address(Resolve(host), Port);
    size_t offset = 0;
    do {
      const size_t size = std::min(kMaxDatagram, bytes.size() - offset);
      // Nobody listening is not reported: UDP gives no answer.
      if (::sendto(udp, bytes.data() + offset, size, MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        break;
      offset += size;
    } while (offset < bytes.size());
  });
  if (udp >= 0) ::close(udp);
  Disconnect();
}


void Socket::SendFile(const std::string& file) {
  GuardVoid("SendFile", [&] {
    std::ifstream in(ToFsPath(file), std::ios::binary);
    if (!in) throw Failure(kFileNotFound, "File not found");
    std::weak_ptr<char> token = alive_;
    SocketBytes chunk(kFileChunk);
    while (in) {
      in.read(reinterpret_cast<char*>(chunk.data()), kFileChunk);
      const std::streamsize got = in.gcount();
      if (got <= 0) break;
      // Pending notifications run between the chunks; one of them may end
      // this object or its connection.
      loop_.RunPending();
      if (!Alive(token) || fd_ < 0) return;
      if (!SendBytes(SocketBytes(chunk.begin(), chunk.begin() + got))) return;
    }
  });
}

}  // namespace vantor
