// The socket class: a TCP client, a TCP or UDP listener, an accepted TCP
// connection or a UDP sender, with optional TLS, on non-blocking POSIX
// sockets. Notifications (read, write, accept, connect, close and the
// connect timer) arrive through the object's event loop and raise its
// events there, one at a time, on the loop's thread; an event handler may
// call back into the object, start other operations on it, or destroy it.
//
//   Socket client;
//   client.LineSeparator = "\r\n";
//   client.events.LineDataArrival = [](const std::string& line,
//                                      const std::string& from) { ... };
//   client.Connect("127.0.0.1", 4000);   // Connected or Error follow
//
// The public fields can be read and written by the owner; the operations
// fill them as described at each one. Ports are 0 to 65535 in host byte
// order. Failing steps of an operation end in Disconnect() without an event;
// only a failed or timed-out connect raises Error.
#ifndef VANTOR_NET_SOCKET_H_
#define VANTOR_NET_SOCKET_H_

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/base/value.h"
#include "net/event_loop.h"

namespace vantor {

using SocketBytes = std::vector<uint8_t>;

// The events of a Socket; an empty one is not raised.
struct SocketEvents {
  // A connect completed: RemoteHost, RemotePort, the TLS details, SSLTrusted
  // and LocalPort are filled and State is 4.
  std::function<void()> Connected;
  // The peer closed the connection (raised before the object disconnects).
  std::function<void()> Closed;
  // The socket can send: once after a connect or accept, and again after a
  // send had to wait.
  std::function<void()> SendComplete;
  // Data arrived and LineSeparator is empty.
  std::function<void(const SocketBytes& BinData,
                     const std::string& RemoteHostIP)>
      DataArrival;
  // A complete line arrived (without its separator) and LineSeparator is
  // set; at close also the unfinished rest.
  std::function<void(const std::string& LineData,
                     const std::string& RemoteHostIP)>
      LineDataArrival;
  // A connect failed ("Connection refused." ...) or timed out ("Timeout").
  // Error is always 0. The object disconnects after the handler returns
  // unless the handler started a new operation on it.
  std::function<void(int32_t Error, const std::string& Description)> Error;
  // A listener has a connection waiting: call Accept on a new object. No
  // further request is raised until that Accept.
  std::function<void()> ConnectionRequest;
};

class Socket {
 public:
  static constexpr int32_t kStateClosed = 1;
  static constexpr int32_t kStateListening = 2;
  static constexpr int32_t kStateConnecting = 3;
  static constexpr int32_t kStateConnected = 4;

  static constexpr int32_t kProtocolTcp = 0;
  static constexpr int32_t kProtocolUdp = 1;

  // Receive chunk and file send chunk sizes; listen backlog.
  static constexpr int kReceiveChunk = 2000;
  static constexpr int kFileChunk = 5000;
  static constexpr int kListenBacklog = 5;

  // `loop` must outlive the object; the object is used on its thread.
  explicit Socket(EventLoop& loop = MainEventLoop());
  // Releasing the object disconnects it.
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // The socket descriptor; 0 = none.
  int32_t SocketHandle = 0;
  // 1 closed, 2 listening, 3 connecting, 4 connected.
  int32_t State = kStateClosed;
  // Port to bind before Connect or to listen on (0: the system chooses);
  // after listening or connecting the local port actually used.
  int32_t LocalPort = 0;
  // Peer address as dotted text and port (set on connect, accept and every
  // received datagram).
  std::string RemoteHost;
  int32_t RemotePort = 0;
  // When not empty: appended to every text sent, and received text is cut
  // into lines at it.
  std::string LineSeparator;
  // Connect time-out in ms for plain TCP connects (0 = none). Also bounds a
  // send that cannot go on and the TLS handshakes (see SendData, Connect).
  int16_t TimeOut = 5000;
  // 0 TCP, 1 UDP.
  int32_t Protocol = kProtocolTcp;
  // Use TLS on Connect and Accept.
  bool SSLEnable = false;
  // Filled after a secure connect.
  std::string SSLCipher;
  std::string SSLSubject;
  std::string SSLIssuer;
  // PEM files of the server side (Accept).
  std::string SSLServerCertificate;
  std::string SSLServerKey;
  // The peer certificate verified on a secure connect.
  bool SSLTrusted = false;
  // PEM file of trusted certificates for the client side (empty: the
  // system's).
  std::string SSLCAFile;
  // TLS connection handle (net/tls.h); 0 = none.
  int32_t SSLHandle = 0;

  SocketEvents events;

  // TCP connect to `host` (dotted address or name; see Resolve) on `Port`.
  // Without SSLEnable asynchronous: Connected or Error follows, Error
  // "Timeout" when TimeOut ms pass first. With SSLEnable the connect and
  // the handshake run at once, bounded by TimeOut (30 s when 0), and
  // Connected is raised before Connect returns. Port 65535 is refused.
  void Connect(const std::string& host, int32_t Port);

  // Listens on LocalPort (any address) with Protocol: TCP raises
  // ConnectionRequest, UDP delivers datagrams. Port 65535 is refused.
  void Listen();

  // Same as MyIP().
  std::string LocalIP() const;

  // Sends on the connected socket (through TLS when SSLHandle is set):
  // a text with LineSeparator appended; a single byte; a byte array; any
  // other value as its text form in UTF-16LE, without separator. A send the
  // socket cannot take waits for the peer at most TimeOut ms (5000 when 0)
  // without progress; then the connection is given up and disconnected, so
  // that the peer never sees a stream with a gap. Failed sends are not
  // reported.
  void SendData(const std::string& text);
  void SendData(const char* text) { SendData(std::string(text)); }
  template <typename T>
  requires std::same_as<T, uint8_t>
  void SendData(T byte) { SendBytes(SocketBytes{byte}); }
  void SendData(const SocketBytes& bytes);
  void SendData(const Value& value);

  // Sends the data (converted as for SendData) to `host` on `Port` as one
  // UDP datagram (more only when it is too long for one), from a socket of
  // its own with broadcast allowed; an empty host, and a name that cannot be
  // looked up, send to 255.255.255.255. Sets Protocol to 1 and ends in
  // Disconnect. A datagram that cannot be sent is not reported.
  void SendDataTo(const std::string& text, const std::string& host,
                  int32_t Port);
  void SendDataTo(const char* text, const std::string& host, int32_t Port) {
    SendDataTo(std::string(text), host, Port);
  }
  template <typename T>
  requires std::same_as<T, uint8_t>
  void SendDataTo(T byte, const std::string& host, int32_t Port) {
    SendDatagram(SocketBytes{byte}, host, Port);
  }
  void SendDataTo(const SocketBytes& bytes, const std::string& host,
                  int32_t Port);
  void SendDataTo(const Value& value, const std::string& host, int32_t Port);

  // Closes everything: State 1, LocalPort 0, the TLS connection, the
  // connect timer and the socket.
  void Disconnect();

  // Takes the pending connection of the listener `Server` (copying its
  // SSLEnable, SSLServerCertificate and SSLServerKey; with TLS the server
  // handshake runs at once, bounded by TimeOut, 30 s when 0). State 4 with
  // RemoteHost and RemotePort on success, else disconnected.
  void Accept(Socket& Server);

  // Sends the bytes of `file` (a path text, translated like every path)
  // through SendData in chunks of 5000 bytes, running the loop's pending
  // notifications before each chunk. A file that cannot be read is logged
  // under "SendFile".
  void SendFile(const std::string& file);

  // The host's address number `adapter` (from 0) as dotted text, or empty
  // when the list is shorter or the look-up fails.
  static std::string GetIP(const std::string& hostname, int16_t adapter);
  // The name registered for the host's address, or empty.
  static std::string GetDNS(const std::string& host);
  // This machine's preferred address: the last non-private one of its
  // addresses, else the last private one, else empty.
  static std::string MyIP();
  // This machine's host name, or empty.
  static std::string MyName();
  // 10.x, 172.16-31.x, 192.168.x and 127.0.x are private (only the first
  // two numbers are read).
  static bool IsPrivateIP(const std::string& ip);

  // The IPv4 address (network byte order) for `host`: an empty host gives
  // 255.255.255.255; a dotted address is taken as written; otherwise the
  // first address of the name; a failed look-up gives 255.255.255.255, which
  // Connect treats as failure.
  static uint32_t Resolve(const std::string& host);

 private:
  enum class Mode { kNone, kConnecting, kConnected, kListening, kDatagram };

  // Converted data for SendData and SendDataTo.
  std::string TextBytes(const std::string& text) const;
  static SocketBytes ValueBytes(const Value& value);

  // Sends all of `bytes`; false when they did not all go out.
  bool SendBytes(const SocketBytes& bytes);
  void SendDatagram(const SocketBytes& bytes, const std::string& host,
                    int32_t Port);

  // The steps of Connect.
  void ClearForConnect();
  bool OpenClientSocket();
  void ConnectSecure(uint32_t address, int32_t Port);
  void StartConnect(uint32_t address, int32_t Port);
  // Runs `step` on the loop after `delay` as the connect timer, unless the
  // object is gone or a new operation started by then.
  void StartConnectTimer(std::chrono::milliseconds delay,
                         std::function<void()> step);
  // The TLS handshake on the connected socket, made blocking for it and
  // bounded by TimeOut (30 s when 0); SSLHandle holds the connection.
  // False when a step failed.
  bool Handshake(bool server);
  // Connected: watched for reading, SendComplete armed.
  bool WatchConnected();

  bool WatchSocket();
  void UpdateInterest();
  void ResumeAccept();
  uint32_t Interest() const;

  // The notification procedure and its steps.
  void OnReady(uint32_t ready);
  void OnConnectDone();
  void OnConnectTimer();
  void ReadConnection();
  void ReadDatagrams();
  void Deliver(const char* data, size_t size);
  void OnPeerClosed();
  void ReportError(const std::string& description);
  void CompleteConnect();
  bool Alive(const std::weak_ptr<char>& token) const {
    return !token.expired();
  }

  EventLoop& loop_;
  int fd_ = -1;
  Mode mode_ = Mode::kNone;
  EventLoop::TimerId connect_timer_ = 0;
  bool write_armed_ = false;    // raise SendComplete on the next writable
  bool accept_paused_ = false;  // a raised ConnectionRequest waits
  uint64_t generation_ = 0;     // counts Connect, Listen and Accept
  std::string line_buffer_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace vantor

#endif  // VANTOR_NET_SOCKET_H_
