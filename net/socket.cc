#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "host/base/failure.h"
#include "host/base/paths.h"
#include "net/line_split.h"
#include "net/socket_errors.h"
#include "net/tls.h"

namespace vantor {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Ports 0 to 65534; 65535 is refused by Connect and Listen.
constexpr int32_t kUnusablePort = 65535;
// Bound of a TLS handshake when TimeOut is 0.
constexpr milliseconds kHandshakeCeiling(30000);
// Bound of a blocked send when TimeOut is 0.
constexpr milliseconds kSendStallDefault(5000);
// Largest payload of one UDP datagram over IPv4.
constexpr size_t kMaxDatagram = 65507;
// Chunks read in one notification before others get their turn (readiness
// is level-triggered: the rest is reported again).
constexpr int kChunksPerNotification = 64;

// The connect time-out as the unsigned count of milliseconds it stands for.
milliseconds TimeOutMs(int16_t time_out) {
  return milliseconds(static_cast<uint16_t>(time_out));
}

// A new non-blocking socket. Descriptor 0 is moved elsewhere: SocketHandle 0
// means "none".
int NewSocket(int type) {
  int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd == 0) {
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    fd = moved;
  }
  return fd;
}

bool SetBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

// Receive and send time-outs of a blocking socket; 0 = none.
void SetIoTimeouts(int fd, milliseconds limit) {
  timeval tv{};
  tv.tv_sec = limit.count() / 1000;
  tv.tv_usec = (limit.count() % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

sockaddr_in Address(uint32_t address, int32_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

std::string DottedText(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool PeerOf(int fd, std::string& host, int32_t& port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return false;
  host = DottedText(sa.sin_addr);
  port = ntohs(sa.sin_port);
  return true;
}

int32_t LocalPortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

// A non-blocking connect that waits up to `limit` for its end; 0 or the
// errno that ended it.
int ConnectWithin(int fd, const sockaddr_in& to, milliseconds limit) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return 0;
  if (errno != EINPROGRESS) return errno;
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
  }
}

// Reads one of the TLS texts (1000 bytes, cut at the first NUL).
std::string TlsText(void (*read)(int32_t, char*), int32_t handle) {
  char buffer[kSslTextSize] = {};
  read(handle, buffer);
  buffer[kSslTextSize - 1] = '\0';
  return buffer;
}

// Raises an event. The handler and its arguments are copies: the handler
// may replace the event, or destroy the object that holds both.
template <typename Handler, typename... Args>
void Raise(const Handler& handler, Args... args) {
  if (!handler) return;
  Handler copy = handler;
  copy(args...);
}

}  // namespace

Socket::Socket(EventLoop& loop) : loop_(loop) {}

Socket::~Socket() {
  GuardVoid("Socket", [&] { Disconnect(); });
}

// ---------------------------------------------------------------------------
// Operations

void Socket::Connect(const std::string& host, int32_t Port) {
  GuardWith(
      [&] {
        if (fd_ >= 0) Disconnect();
        ++generation_;
        SocketHandle = 0;
        SSLHandle = 0;
        RemotePort = 0;
        State = kStateConnecting;
        Protocol = kProtocolTcp;
        SSLCipher.clear();
        SSLSubject.clear();
        SSLIssuer.clear();
        SSLTrusted = false;
        line_buffer_.clear();

        const uint32_t address = Resolve(host);
        if (address == INADDR_NONE || Port < 0 || Port >= kUnusablePort ||
            LocalPort < 0 || LocalPort >= kUnusablePort) {
          Disconnect();
          return;
        }
        fd_ = NewSocket(SOCK_STREAM);
        if (fd_ < 0) {
          Disconnect();
          return;
        }
        SocketHandle = fd_;
        if (LocalPort > 0) {
          sockaddr_in local = Address(htonl(INADDR_ANY), LocalPort);
          if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) !=
              0) {
            Disconnect();
            return;
          }
        }
        const sockaddr_in to = Address(address, Port);

        if (SSLEnable) {
          // At once: no peer may hold the caller longer than the bound.
          const milliseconds limit =
              TimeOut != 0 ? TimeOutMs(TimeOut) : kHandshakeCeiling;
          if (ConnectWithin(fd_, to, limit) != 0 || !SetBlocking(fd_, true)) {
            Disconnect();
            return;
          }
          SetIoTimeouts(fd_, limit);
          SSLHandle = ssl_init_client(fd_, SSLCAFile.c_str());
          if (SSLHandle == 0) {
            Disconnect();
            return;
          }
          SetIoTimeouts(fd_, milliseconds(0));
          if (!SetBlocking(fd_, false)) {
            Disconnect();
            return;
          }
          // The handler of Connected already sees whether the peer is
          // trusted.
          SSLTrusted = ssl_getverify(SSLHandle) == 0;
          mode_ = Mode::kConnected;
          write_armed_ = true;
          if (!WatchSocket()) {
            Disconnect();
            return;
          }
          CompleteConnect();
          return;
        }

        mode_ = Mode::kConnecting;
        if (!WatchSocket()) {
          Disconnect();
          return;
        }
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
                0 &&
            errno != EINPROGRESS) {
          // Reported like a connect that fails later: on the loop, not
          // inside the call.
          const std::string description =
              SocketErrorText(SocketErrorNumber(errno));
          std::weak_ptr<char> token = alive_;
          const uint64_t generation = generation_;
          connect_timer_ = loop_.StartTimer(milliseconds(0), [=, this] {
            if (!Alive(token) || generation_ != generation) return;
            connect_timer_ = 0;
            GuardVoid("SocketModule", [&] { ReportError(description); });
          });
          return;
        }
        // Connected at once (possible on loopback): the write notification
        // completes it like any other.
        if (TimeOut != 0) {
          std::weak_ptr<char> token = alive_;
          const uint64_t generation = generation_;
          connect_timer_ = loop_.StartTimer(TimeOutMs(TimeOut), [=, this] {
            if (!Alive(token) || generation_ != generation) return;
            connect_timer_ = 0;
            GuardVoid("SocketModule", [&] { OnConnectTimer(); });
          });
        }
      },
      [&](const FailureInfo&) { Disconnect(); });
}

void Socket::Listen() {
  GuardWith(
      [&] {
        if (fd_ >= 0) Disconnect();
        ++generation_;
        SocketHandle = 0;
        RemoteHost.clear();
        RemotePort = 0;
        const int32_t port = LocalPort;
        if (port < 0 || port >= kUnusablePort) {
          Disconnect();
          return;
        }
        const bool udp = Protocol != kProtocolTcp;
        fd_ = NewSocket(udp ? SOCK_DGRAM : SOCK_STREAM);
        if (fd_ < 0) {
          Disconnect();
          return;
        }
        SocketHandle = fd_;
        if (!udp) {
          // A port whose old connections linger in TIME_WAIT can be
          // listened on again at once.
          int on = 1;
          ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        sockaddr_in local = Address(htonl(INADDR_ANY), port);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) !=
            0) {
          Disconnect();
          return;
        }
        mode_ = udp ? Mode::kDatagram : Mode::kListening;
        accept_paused_ = false;
        if (!WatchSocket() || (!udp && ::listen(fd_, kListenBacklog) != 0)) {
          Disconnect();
          return;
        }
        State = kStateListening;
        LocalPort = LocalPortOf(fd_);
      },
      [&](const FailureInfo&) { Disconnect(); });
}

std::string Socket::LocalIP() const { return MyIP(); }

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

void Socket::Disconnect() {
  State = kStateClosed;
  LocalPort = 0;
  if (fd_ >= 0) {
    if (SSLHandle != 0) {
      ssl_cleanup(SSLHandle);
      SSLHandle = 0;
    }
    if (connect_timer_ != 0) {
      loop_.StopTimer(connect_timer_);
      connect_timer_ = 0;
    }
    loop_.Unwatch(fd_);
    ::close(fd_);
    fd_ = -1;
    SocketHandle = 0;
  }
  mode_ = Mode::kNone;
  write_armed_ = false;
  accept_paused_ = false;
}

void Socket::Accept(Socket& Server) {
  GuardWith(
      [&] {
        SSLEnable = Server.SSLEnable;
        SSLServerCertificate = Server.SSLServerCertificate;
        SSLServerKey = Server.SSLServerKey;
        // A socket this object held before is closed rather than lost.
        if (fd_ >= 0) Disconnect();
        ++generation_;
        line_buffer_.clear();
        if (Server.fd_ < 0 || Server.mode_ != Mode::kListening) {
          Disconnect();
          return;
        }
        int fd = ::accept4(Server.fd_, nullptr, nullptr,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        // The listener reports its next connection again.
        Server.ResumeAccept();
        if (fd == 0) {
          int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
          ::close(fd);
          fd = moved;
        }
        if (fd < 0) {
          Disconnect();
          return;
        }
        fd_ = fd;
        SocketHandle = fd;
        if (SSLEnable) {
          const milliseconds limit =
              TimeOut != 0 ? TimeOutMs(TimeOut) : kHandshakeCeiling;
          if (!SetBlocking(fd_, true)) {
            Disconnect();
            return;
          }
          SetIoTimeouts(fd_, limit);
          const int32_t handle = ssl_init_server(
              fd_, SSLServerCertificate.c_str(), SSLServerKey.c_str());
          if (handle <= 100) {
            Disconnect();
            return;
          }
          SSLHandle = handle;
          SetIoTimeouts(fd_, milliseconds(0));
          if (!SetBlocking(fd_, false)) {
            Disconnect();
            return;
          }
        }
        mode_ = Mode::kConnected;
        write_armed_ = true;
        if (!WatchSocket()) {
          Disconnect();
          return;
        }
        PeerOf(fd_, RemoteHost, RemotePort);
        State = kStateConnected;
      },
      [&](const FailureInfo&) { Disconnect(); });
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

// ---------------------------------------------------------------------------
// Notifications

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
