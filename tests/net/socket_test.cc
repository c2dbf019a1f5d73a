#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/event_loop.h"
#include "tests/net/net_test_util.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

using std::chrono::milliseconds;
using ::testing::ElementsAre;

std::string Text(const SocketBytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A TCP port on loopback that nothing listens on (bound, then released).
int ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  ::close(fd);
  return ntohs(sa.sin_port);
}

// ---------------------------------------------------------------------------
// Datagrams

TEST(SocketDatagramTest, SendDataToSendsTheTextAsOneDatagram) {
  UdpReceiver receiver;
  Socket socket;
  socket.SendDataTo("Vantor 01", "127.0.0.1", receiver.port());
  std::optional<std::string> payload = receiver.Receive();
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(*payload, "Vantor 01");
  EXPECT_EQ(payload->size(), 9u);
  EXPECT_EQ(socket.Protocol, Socket::kProtocolUdp);
  EXPECT_EQ(socket.SocketHandle, 0);
  EXPECT_EQ(socket.State, Socket::kStateClosed);
}

TEST(SocketDatagramTest, DataConversions) {
  UdpReceiver receiver;
  Socket socket;
  socket.LineSeparator = "\r\n";
  socket.SendDataTo(std::string("Zürich"), "127.0.0.1", receiver.port());
  EXPECT_EQ(receiver.Receive(), "Z\xC3\xBCrich\r\n");
  // Bytes go as they are, without the separator.
  socket.SendDataTo(SocketBytes{'A', 0, 'B'}, "127.0.0.1", receiver.port());
  EXPECT_EQ(receiver.Receive(), std::string("A\0B", 3));
  socket.SendDataTo(uint8_t{0x7F}, "127.0.0.1", receiver.port());
  EXPECT_EQ(receiver.Receive(), "\x7F");
  // Any other value: its text form in UTF-16LE.
  socket.SendDataTo(Value(int64_t{12}), "127.0.0.1", receiver.port());
  EXPECT_EQ(receiver.Receive(), std::string("1\0"
                                            "2\0",
                                            4));
  socket.SendDataTo(Value("text"), "127.0.0.1", receiver.port());
  EXPECT_EQ(receiver.Receive(), "text\r\n");
}

TEST(SocketDatagramTest, UdpListenerDeliversDatagramsWithTheSender) {
  EventLoop loop;
  Socket listener(loop);
  listener.Protocol = Socket::kProtocolUdp;
  std::vector<std::string> received;
  std::string from;
  listener.events.DataArrival = [&](const SocketBytes& bytes,
                                    const std::string& host) {
    received.push_back(Text(bytes));
    from = host;
  };
  listener.Listen();
  ASSERT_EQ(listener.State, Socket::kStateListening);
  ASSERT_GT(listener.LocalPort, 0);

  Socket sender;
  sender.SendDataTo("one", "127.0.0.1", listener.LocalPort);
  sender.SendDataTo("two", "127.0.0.1", listener.LocalPort);
  ASSERT_TRUE(RunUntil(loop, [&] { return received.size() == 2; }));
  EXPECT_THAT(received, ElementsAre("one", "two"));
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(listener.RemoteHost, "127.0.0.1");
  EXPECT_GT(listener.RemotePort, 0);

  listener.Disconnect();
  EXPECT_EQ(listener.State, Socket::kStateClosed);
  EXPECT_EQ(listener.LocalPort, 0);
  EXPECT_EQ(loop.size(), 0u);
}

// ---------------------------------------------------------------------------
// TCP

// A listener on a free port whose ConnectionRequest accepts into `accepted`.
class TcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_.events.ConnectionRequest = [this] {
      accepted_ = std::make_unique<Socket>(loop_);
      SetUpAccepted(*accepted_);
      accepted_->Accept(listener_);
    };
    listener_.Listen();
    ASSERT_EQ(listener_.State, Socket::kStateListening);
  }

  void TearDown() override {
    accepted_.reset();
    listener_.Disconnect();
    EXPECT_EQ(loop_.size(), 0u) << "a watch or timer was left behind";
  }

  virtual void SetUpAccepted(Socket& socket) {
    socket.events.DataArrival = [this](const SocketBytes& bytes,
                                       const std::string&) {
      server_received_ += Text(bytes);
    };
  }

  // Connects `client` and waits until both ends are connected.
  void ConnectClient(Socket& client) {
    client.events.Connected = [this] { log_.push_back("Connected"); };
    client.Connect("127.0.0.1", listener_.LocalPort);
    ASSERT_EQ(client.State, Socket::kStateConnecting);
    ASSERT_TRUE(RunUntil(loop_, [&] {
      return client.State == Socket::kStateConnected && accepted_ &&
             accepted_->State == Socket::kStateConnected;
    }));
  }

  EventLoop loop_;
  Socket listener_{loop_};
  std::unique_ptr<Socket> accepted_;
  std::string server_received_;
  std::vector<std::string> log_;
};

TEST_F(TcpTest, ConnectAcceptAndTextBothWays) {
  Socket client(loop_);
  client.LineSeparator = "\r\n";
  client.events.SendComplete = [&] { log_.push_back("SendComplete"); };
  client.events.LineDataArrival = [&](const std::string& line,
                                      const std::string& host) {
    log_.push_back("Line " + line + " from " + host);
  };
  client.events.Closed = [&] {
    log_.push_back("Closed");
    // The object disconnects after the handler.
    EXPECT_EQ(client.State, Socket::kStateConnected);
  };
  ConnectClient(client);

  EXPECT_EQ(client.RemoteHost, "127.0.0.1");
  EXPECT_EQ(client.RemotePort, listener_.LocalPort);
  EXPECT_GT(client.LocalPort, 0);
  EXPECT_NE(client.SocketHandle, 0);
  EXPECT_EQ(accepted_->RemoteHost, "127.0.0.1");
  EXPECT_EQ(accepted_->RemotePort, client.LocalPort);

  client.SendData("hello");
  ASSERT_TRUE(RunUntil(loop_, [&] { return server_received_.size() == 7; }));
  EXPECT_EQ(server_received_, "hello\r\n");

  // A, B, CR, LF, Z: one line now, the rest when the peer closes.
  accepted_->SendData(SocketBytes{'A', 'B', '\r', '\n', 'Z'});
  ASSERT_TRUE(RunUntil(loop_, [&] { return log_.size() >= 3; }));
  accepted_->Disconnect();
  ASSERT_TRUE(RunUntil(
      loop_, [&] { return !log_.empty() && log_.back() == "Closed"; }));
  EXPECT_THAT(log_,
              ElementsAre("Connected", "SendComplete", "Line AB from 127.0.0.1",
                          "Line Z from 127.0.0.1", "Closed"));
  EXPECT_EQ(client.State, Socket::kStateClosed);
  EXPECT_EQ(client.SocketHandle, 0);
}

TEST_F(TcpTest, AClientConnectsFromTheLocalPortItIsGiven) {
  Socket client(loop_);
  client.LocalPort = ClosedPort();
  const int32_t chosen = client.LocalPort;
  ConnectClient(client);
  EXPECT_EQ(client.LocalPort, chosen);
  EXPECT_EQ(accepted_->RemotePort, chosen);

  // A local port outside 0 to 65534 is no connect.
  Socket refused(loop_);
  refused.LocalPort = 65535;
  refused.Connect("127.0.0.1", listener_.LocalPort);
  EXPECT_EQ(refused.State, Socket::kStateClosed);
  EXPECT_EQ(refused.SocketHandle, 0);
}

TEST_F(TcpTest, LinesSplitAcrossChunksAndTextEndsAtNul) {
  Socket client(loop_);
  client.LineSeparator = "\r\n";
  std::vector<std::string> lines;
  client.events.LineDataArrival = [&](const std::string& line,
                                      const std::string&) {
    lines.push_back(line);
  };
  ConnectClient(client);

  accepted_->SendData(SocketBytes{'o', 'n', 'e', '\r'});
  ASSERT_TRUE(RunUntil(
      loop_, [&] { return lines.empty(); }, milliseconds(100)));
  accepted_->SendData(SocketBytes{'\n', 't', 'w', 'o', '\r', '\n'});
  ASSERT_TRUE(RunUntil(loop_, [&] { return lines.size() == 2; }));
  // What follows a NUL in a chunk is not text: "x" waits for its separator
  // and comes out at the close.
  accepted_->SendData(SocketBytes{'x', 0, 'y', '\r', '\n'});
  accepted_->Disconnect();
  ASSERT_TRUE(
      RunUntil(loop_, [&] { return client.State == Socket::kStateClosed; }));
  EXPECT_THAT(lines, ElementsAre("one", "two", "x"));
}

TEST_F(TcpTest, SendFileSendsTheWholeFile) {
  const std::string path = TestProgramDir() + "/socket-send-file.bin";
  std::string content;
  for (int i = 0; i < 12345; ++i) content += static_cast<char>(i * 7 % 251);
  std::ofstream(path, std::ios::binary) << content;

  Socket client(loop_);
  ConnectClient(client);
  client.SendFile(path);
  ASSERT_TRUE(RunUntil(
      loop_, [&] { return server_received_.size() >= content.size(); }));
  EXPECT_EQ(server_received_, content);
  std::filesystem::remove(path);
}

TEST_F(TcpTest, AHandlerMayDestroyItsSocket) {
  Socket client(loop_);
  ConnectClient(client);
  bool destroyed = false;
  accepted_->events.DataArrival = [&](const SocketBytes&, const std::string&) {
    accepted_.reset();
    destroyed = true;
  };
  client.SendData("bye");
  ASSERT_TRUE(RunUntil(loop_, [&] { return destroyed; }));
  // The client sees the close of the destroyed peer.
  ASSERT_TRUE(
      RunUntil(loop_, [&] { return client.State == Socket::kStateClosed; }));
}

TEST_F(TcpTest, AListenerWaitsForAcceptBeforeTheNextRequest) {
  int requests = 0;
  listener_.events.ConnectionRequest = [&] { ++requests; };
  Socket first(loop_), second(loop_);
  first.Connect("127.0.0.1", listener_.LocalPort);
  second.Connect("127.0.0.1", listener_.LocalPort);
  RunUntil(
      loop_, [] { return false; }, milliseconds(200));
  EXPECT_EQ(requests, 1);

  Socket taken(loop_);
  taken.Accept(listener_);
  EXPECT_EQ(taken.State, Socket::kStateConnected);
  ASSERT_TRUE(RunUntil(loop_, [&] { return requests == 2; }));
  Socket taken_too(loop_);
  taken_too.Accept(listener_);
  EXPECT_EQ(taken_too.State, Socket::kStateConnected);

  // Nothing pending: Accept ends disconnected.
  Socket nothing(loop_);
  nothing.Accept(listener_);
  EXPECT_EQ(nothing.State, Socket::kStateClosed);
  EXPECT_EQ(nothing.SocketHandle, 0);
}

TEST_F(TcpTest, ASendThePeerDoesNotTakeIsGivenUp) {
  Socket client(loop_);
  ConnectClient(client);
  // The accepted side never reads.
  accepted_->events.DataArrival = nullptr;
  loop_.Unwatch(accepted_->SocketHandle);
  int small = 4096;
  ::setsockopt(client.SocketHandle, SOL_SOCKET, SO_SNDBUF, &small,
               sizeof small);
  ::setsockopt(accepted_->SocketHandle, SOL_SOCKET, SO_RCVBUF, &small,
               sizeof small);
  client.TimeOut = 200;
  // Far more than the two buffers hold.
  client.SendData(SocketBytes(64 << 20, 'x'));
  // Returned: the connection is given up rather than left with a gap.
  EXPECT_EQ(client.State, Socket::kStateClosed);
  EXPECT_EQ(client.SocketHandle, 0);
  // Sending on a closed object does nothing.
  client.SendData("more");
  EXPECT_EQ(client.SocketHandle, 0);
}

TEST(SocketConnectTest, RefusedConnectRaisesErrorWithTheTableText) {
  EventLoop loop;
  Socket client(loop);
  std::vector<std::string> errors;
  client.events.Error = [&](int32_t number, const std::string& text) {
    errors.push_back(std::to_string(number) + " " + text);
  };
  client.Connect("127.0.0.1", ClosedPort());
  ASSERT_TRUE(RunUntil(loop, [&] { return !errors.empty(); }));
  EXPECT_THAT(errors, ElementsAre("0 Connection refused."));
  EXPECT_EQ(client.State, Socket::kStateClosed);
  EXPECT_EQ(client.SocketHandle, 0);
  EXPECT_EQ(loop.size(), 0u);
}

TEST(SocketConnectTest, ConnectToAPeerThatNeverAnswersTimesOut) {
  // A listener whose accept queue is full: further connection attempts get
  // no answer.
  int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(server, 0), 0);
  socklen_t len = sizeof sa;
  ::getsockname(server, reinterpret_cast<sockaddr*>(&sa), &len);
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fillers.push_back(fd);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    pollfd p{fd, POLLOUT, 0};
    full = ::poll(&p, 1, 300) == 0;
  }

  if (full) {
    EventLoop loop;
    Socket client(loop);
    client.TimeOut = 300;
    std::vector<std::string> errors;
    client.events.Error = [&](int32_t number, const std::string& text) {
      errors.push_back(std::to_string(number) + " " + text);
    };
    client.events.Connected = [&] { errors.push_back("connected"); };
    client.Connect("127.0.0.1", ntohs(sa.sin_port));
    EXPECT_EQ(client.State, Socket::kStateConnecting);
    ASSERT_TRUE(RunUntil(loop, [&] { return !errors.empty(); }));
    EXPECT_THAT(errors, ElementsAre("0 Timeout"));
    EXPECT_EQ(client.State, Socket::kStateClosed);
    EXPECT_EQ(client.SocketHandle, 0);
    EXPECT_EQ(loop.size(), 0u);
  }
  for (int fd : fillers) ::close(fd);
  ::close(server);
  if (!full) GTEST_SKIP() << "the loopback listener's queue never filled";
}

TEST(SocketConnectTest, Port65535AndBadHostsAreRefusedWithoutEvents) {
  EventLoop loop;
  Socket socket(loop);
  bool raised = false;
  socket.events.Error = [&](int32_t, const std::string&) { raised = true; };
  socket.events.Connected = [&] { raised = true; };

  socket.Connect("127.0.0.1", 65535);
  EXPECT_EQ(socket.State, Socket::kStateClosed);
  socket.Connect("", 80);  // broadcast is no connect target
  EXPECT_EQ(socket.State, Socket::kStateClosed);

  socket.LocalPort = 65535;
  socket.Listen();
  EXPECT_EQ(socket.State, Socket::kStateClosed);
  EXPECT_EQ(socket.SocketHandle, 0);
  RunUntil(
      loop, [] { return false; }, milliseconds(50));
  EXPECT_FALSE(raised);
  EXPECT_EQ(loop.size(), 0u);
}

// ---------------------------------------------------------------------------
// Names (only names this host knows itself: no look-up leaves it)

TEST(SocketNamesTest, IsPrivateIP) {
  for (const char* ip :
       {"10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.0.1", "127.0.0.1"})
    EXPECT_TRUE(Socket::IsPrivateIP(ip)) << ip;
  for (const char* ip : {"172.32.0.1", "127.1.0.1", "8.8.8.8", "172.15.0.1",
                         "192.169.0.1", "11.0.0.1", "", "abc"})
    EXPECT_FALSE(Socket::IsPrivateIP(ip)) << ip;
}

TEST(SocketNamesTest, GetIPWalksTheAddressList) {
  EXPECT_EQ(Socket::GetIP("127.0.0.1", 0), "127.0.0.1");
  EXPECT_EQ(Socket::GetIP("localhost", 0), "127.0.0.1");
  EXPECT_EQ(Socket::GetIP("127.0.0.1", 1), "");
  EXPECT_EQ(Socket::GetIP("localhost", 100), "");
  EXPECT_EQ(Socket::GetIP("localhost", -1), "");
}

TEST(SocketNamesTest, ResolveAndOwnNames) {
  EXPECT_EQ(Socket::Resolve(""), INADDR_NONE);
  EXPECT_EQ(Socket::Resolve("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(Socket::Resolve("localhost"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(Socket::GetDNS(""), "");
  EXPECT_FALSE(Socket::MyName().empty());
}

}  // namespace
}  // namespace vantor
