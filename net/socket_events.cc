// The notifications of the socket class: what its event loop reports on the
// socket (and the connect timer) becomes the object's events.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "host/base/failure.h"
#include "net/line_split.h"
#include "net/socket.h"
#include "net/socket_errors.h"
#include "net/socket_io.h"
#include "net/tls.h"

namespace vantor {
namespace {

using namespace socket_io;

// Reads one of the TLS texts (1000 bytes, cut at the first NUL).
std::string TlsText(void (*read)(int32_t, char*), int32_t handle) {
  char buffer[kSslTextSize] = {};
  read(handle, buffer);
  buffer[kSslTextSize - 1] = '\0';
  return buffer;
}

}  // namespace

uint32_t Socket::Interest() const {
  switch (mode_) {
    case Mode::kConnecting:
      return EventLoop::kWritable;
    case Mode::kConnected:
      return EventLoop::kReadable | (write_armed_ ? EventLoop::kWritable : 0);
    case Mode::kListening:
      return accept_paused_ ? 0 : EventLoop::kReadable;
    case Mode::kDatagram:
      return EventLoop::kReadable;
    case Mode::kNone:
      break;
  }
  return 0;
}

bool Socket::WatchSocket() {
  std::weak_ptr<char> token = alive_;
  return loop_.Watch(fd_, Interest(), [this, token](uint32_t ready) {
    if (!Alive(token)) return;
    // An unexpected failure in a notification (a handler's, too) is logged
    // and goes no further.
    GuardVoid("SocketModule", [&] { OnReady(ready); });
  });
}

void Socket::UpdateInterest() {
  if (fd_ >= 0) loop_.SetInterest(fd_, Interest());
}

void Socket::ResumeAccept() {
  if (!accept_paused_) return;
  accept_paused_ = false;
  UpdateInterest();
}

void Socket::OnReady(uint32_t ready) {
  std::weak_ptr<char> token = alive_;
  switch (mode_) {
    case Mode::kConnecting:
      OnConnectDone();
      return;
    case Mode::kListening: {
      // Readiness seen before an earlier handler of the same pass took the
      // connection is stale.
      pollfd p{fd_, POLLIN, 0};
      if (accept_paused_ || ::poll(&p, 1, 0) != 1) return;
      accept_paused_ = true;
      UpdateInterest();
      Raise(events.ConnectionRequest);
      return;
    }
    case Mode::kDatagram:
      ReadDatagrams();
      return;
    case Mode::kConnected: {
      const int fd = fd_;
      if ((ready & EventLoop::kWritable) && write_armed_) {
        write_armed_ = false;
        UpdateInterest();
        Raise(events.SendComplete);
        if (!Alive(token) || fd_ != fd) return;
      }
      if (ready &
          (EventLoop::kReadable | EventLoop::kHangUp | EventLoop::kError))
        ReadConnection();
      return;
    }
    case Mode::kNone:
      return;
  }
}

void Socket::OnConnectDone() {
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  if (error != 0) {
    ReportError(SocketErrorText(SocketErrorNumber(error)));
    return;
  }
  mode_ = Mode::kConnected;
  // The socket can send right away: SendComplete follows Connected.
  write_armed_ = true;
  UpdateInterest();
  CompleteConnect();
}

void Socket::OnConnectTimer() {
  if (State == kStateConnecting) ReportError("Timeout");
}

void Socket::CompleteConnect() {
  if (connect_timer_ != 0) {
    loop_.StopTimer(connect_timer_);
    connect_timer_ = 0;
  }
  if (RemotePort == 0) PeerOf(fd_, RemoteHost, RemotePort);
  if (SSLHandle != 0) {
    SSLCipher = TlsText(ssl_getcipher, SSLHandle);
    SSLSubject = TlsText(ssl_getsubject, SSLHandle);
    SSLIssuer = TlsText(ssl_getissuer, SSLHandle);
  }
  LocalPort = LocalPortOf(fd_);
  State = kStateConnected;
  Raise(events.Connected);
}

void Socket::ReadConnection() {
  std::weak_ptr<char> token = alive_;
  const int fd = fd_;
  char buffer[kReceiveChunk];
  bool closed = false;
  // Through TLS everything is read: what the library holds already decrypted
  // is not announced by the socket again.
  for (int chunks = 0; SSLHandle != 0 || chunks < kChunksPerNotification;
       ++chunks) {
    ssize_t n = SSLHandle != 0 ? ssl_recv(SSLHandle, buffer, kReceiveChunk)
                               : ::recv(fd_, buffer, kReceiveChunk, 0);
    if (n > 0) {
      Deliver(buffer, static_cast<size_t>(n));
      if (!Alive(token) || fd_ != fd) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // 0: the peer closed; another failure (reset) ends the connection too.
    closed = true;
    break;
  }
  if (closed) OnPeerClosed();
}

void Socket::ReadDatagrams() {
  std::weak_ptr<char> token = alive_;
  const int fd = fd_;
  char buffer[kReceiveChunk];
  for (int chunks = 0; chunks < kChunksPerNotification; ++chunks) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buffer, kReceiveChunk, 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    RemoteHost = DottedText(from.sin_addr);
    RemotePort = ntohs(from.sin_port);
    Deliver(buffer, static_cast<size_t>(n));
    if (!Alive(token) || fd_ != fd) return;
  }
}

void Socket::Deliver(const char* data, size_t size) {
  if (LineSeparator.empty()) {
    Raise(events.DataArrival, SocketBytes(data, data + size), RemoteHost);
    return;
  }
  AppendReceivedText(line_buffer_, data, size);
  std::weak_ptr<char> token = alive_;
  TakeLines(line_buffer_, LineSeparator, [&](const std::string& line) {
    Raise(events.LineDataArrival, line, RemoteHost);
    return Alive(token);
  });
}

void Socket::OnPeerClosed() {
  std::weak_ptr<char> token = alive_;
  const uint64_t generation = generation_;
  std::string rest;
  rest.swap(line_buffer_);
  if (!rest.empty()) {
    if (LineSeparator.empty()) {
      Raise(events.DataArrival, SocketBytes(rest.begin(), rest.end()),
            RemoteHost);
    } else {
      Raise(events.LineDataArrival, rest, RemoteHost);
    }
    if (!Alive(token)) return;
  }
  Raise(events.Closed);
  // A handler that started a new operation keeps it.
  if (Alive(token) && generation_ == generation) Disconnect();
}

void Socket::ReportError(const std::string& description) {
  std::weak_ptr<char> token = alive_;
  const uint64_t generation = generation_;
  Raise(events.Error, int32_t{0}, description);
  if (Alive(token) && generation_ == generation) Disconnect();
}

}  // namespace vantor
