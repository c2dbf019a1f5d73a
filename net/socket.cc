// Opening and closing the socket class's connections: connect, listen,
// accept, disconnect. Sending is in socket_send.cc, the notifications in
// socket_events.cc, the name look-up in socket_names.cc.
#include "net/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "host/base/failure.h"
#include "net/socket_errors.h"
#include "net/socket_io.h"
#include "net/tls.h"

namespace vantor {

using namespace socket_io;

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
        ClearForConnect();
        const uint32_t address = Resolve(host);
        if (address == INADDR_NONE || Port < 0 || Port >= kUnusablePort ||
            !OpenClientSocket()) {
          Disconnect();
          return;
        }
        if (SSLEnable) {
          ConnectSecure(address, Port);
        } else {
          StartConnect(address, Port);
        }
      },
      [&](const FailureInfo&) { Disconnect(); });
}

void Socket::ClearForConnect() {
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
}

bool Socket::OpenClientSocket() {
  if (LocalPort < 0 || LocalPort >= kUnusablePort) return false;
  fd_ = NewSocket(SOCK_STREAM);
  if (fd_ < 0) return false;
  SocketHandle = fd_;
  if (LocalPort == 0) return true;
  sockaddr_in local = Address(htonl(INADDR_ANY), LocalPort);
  return ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

void Socket::ConnectSecure(uint32_t address, int32_t Port) {
  // At once: no peer may hold the caller longer than the bound.
  if (ConnectWithin(fd_, Address(address, Port), HandshakeLimit(TimeOut)) !=
          0 ||
      !Handshake(/*server=*/false)) {
    Disconnect();
    return;
  }
  // The handler of Connected already sees whether the peer is trusted.
  SSLTrusted = ssl_getverify(SSLHandle) == 0;
  if (!WatchConnected()) {
    Disconnect();
    return;
  }
  CompleteConnect();
}

void Socket::StartConnect(uint32_t address, int32_t Port) {
  mode_ = Mode::kConnecting;
  if (!WatchSocket()) {
    Disconnect();
    return;
  }
  const sockaddr_in to = Address(address, Port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
      errno != EINPROGRESS) {
    // Reported like a connect that fails later: on the loop, not inside the
    // call.
    const std::string description = SocketErrorText(SocketErrorNumber(errno));
    StartConnectTimer(milliseconds(0),
                      [this, description] { ReportError(description); });
    return;
  }
  // Connected at once (possible on loopback): the write notification
  // completes it like any other.
  if (TimeOut != 0)
    StartConnectTimer(TimeOutMs(TimeOut), [this] { OnConnectTimer(); });
}

void Socket::StartConnectTimer(std::chrono::milliseconds delay,
                               std::function<void()> step) {
  std::weak_ptr<char> token = alive_;
  const uint64_t generation = generation_;
  connect_timer_ = loop_.StartTimer(
      delay, [this, token, generation, step = std::move(step)] {
        if (!Alive(token) || generation_ != generation) return;
        connect_timer_ = 0;
        GuardVoid("SocketModule", [&] { step(); });
      });
}

bool Socket::Handshake(bool server) {
  const milliseconds limit = HandshakeLimit(TimeOut);
  if (!SetBlocking(fd_, true)) return false;
  SetIoTimeouts(fd_, limit);
  if (server) {
    const int32_t handle = ssl_init_server(fd_, SSLServerCertificate.c_str(),
                                           SSLServerKey.c_str());
    if (handle <= 100) return false;
    SSLHandle = handle;
  } else {
    SSLHandle = ssl_init_client(fd_, SSLCAFile.c_str());
    if (SSLHandle == 0) return false;
  }
  SetIoTimeouts(fd_, milliseconds(0));
  return SetBlocking(fd_, false);
}

bool Socket::WatchConnected() {
  mode_ = Mode::kConnected;
  write_armed_ = true;
  return WatchSocket();
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
        const int fd = OffZero(::accept4(Server.fd_, nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC));
        // The listener reports its next connection again.
        Server.ResumeAccept();
        if (fd < 0) {
          Disconnect();
          return;
        }
        fd_ = fd;
        SocketHandle = fd;
        if ((SSLEnable && !Handshake(/*server=*/true)) || !WatchConnected()) {
          Disconnect();
          return;
        }
        PeerOf(fd_, RemoteHost, RemotePort);
        State = kStateConnected;
      },
      [&](const FailureInfo&) { Disconnect(); });
}

}  // namespace vantor
