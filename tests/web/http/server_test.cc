// The HTTP floor on a loopback port, driven by raw sockets: answers whole
// and streamed, bodies handed over in pieces, and the bounds (body size,
// connections, idle time) that keep one caller from holding the port.
#include "web/http/server.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantor::web {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A client connection to 127.0.0.1:port.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr),
                           sizeof addr) == 0;
  }
  ~Client() { ::close(fd_); }
  bool connected() const { return connected_; }

  void Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done,
                         MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // Everything until the peer closes or `timeout` passes.
  std::string ReadUntilClosed(std::chrono::milliseconds timeout =
                                  std::chrono::seconds(10)) {
    std::string out;
    const auto until = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // Reads until `marker` has been seen `count` times (bounded).
  std::string ReadUntil(const std::string& marker, int count = 1) {
    std::string out;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buf[65536];
    auto seen = [&] {
      int n = 0;
      for (size_t at = out.find(marker); at != std::string::npos;
           at = out.find(marker, at + 1))
        ++n;
      return n;
    };
    while (seen() < count && std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

struct Refusal {
  std::string remote;
  int status;
  std::string reason;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void Start(HttpServer::Handler handler, HttpLimits limits = {}) {
    server_ = std::make_unique<HttpServer>(
        std::move(handler),
        [this](const std::string& remote, int status, const std::string& reason) {
          std::lock_guard<std::mutex> lock(mu_);
          refusals_.push_back({remote, status, reason});
        },
        limits);
    std::string error;
    ASSERT_TRUE(server_->Listen(0, "127.0.0.1", error)) << error;
    port_ = server_->bound_port();
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }
  std::vector<Refusal> Refusals() {
    std::lock_guard<std::mutex> lock(mu_);
    return refusals_;
  }

  std::unique_ptr<HttpServer> server_;
  int port_ = 0;
  std::mutex mu_;
  std::vector<Refusal> refusals_;
};

TEST_F(HttpServerTest, AnswersSeveralRequestsOnOneConnection) {
  std::atomic<int> calls{0};
  Start([&](HttpExchange& ex) {
    ++calls;
    EXPECT_EQ(ex.request().remote_ip, "127.0.0.1");
    ex.Respond(200, {{"Content-Type", "text/plain"}},
               ex.request().method + " " + ex.request().path + " ? " +
                   ex.request().query + " " + ex.request().Header("x-a"));
  });
  Client c(port_);
  ASSERT_TRUE(c.connected());
  c.Send("GET /one?a=1 HTTP/1.1\r\nHost: x\r\nX-A: first\r\n\r\n");
  std::string first = c.ReadUntil("first");
  EXPECT_THAT(first, StartsWith("HTTP/1.1 200 OK"));
  EXPECT_THAT(first, HasSubstr("GET /one ? a=1 first"));
  c.Send("GET /two HTTP/1.1\r\nHost: x\r\nX-A: second\r\nConnection: close\r\n\r\n");
  std::string second = c.ReadUntilClosed();
  EXPECT_THAT(second, HasSubstr("GET /two ?  second"));
  EXPECT_TRUE(c.closed());
  EXPECT_EQ(calls.load(), 2);
}

TEST_F(HttpServerTest, HandsTheBodyOverInPiecesAndStreamsAnswers) {
  size_t largest_piece = 0;
  size_t total = 0;
  uint64_t sum = 0;
  Start([&](HttpExchange& ex) {
    BodyEnd end = ex.ReadBody([&](std::string_view piece) {
      largest_piece = std::max(largest_piece, piece.size());
      total += piece.size();
      for (unsigned char ch : piece) sum += ch;
      return true;
    });
    EXPECT_EQ(end, BodyEnd::kComplete);
    ASSERT_TRUE(ex.BeginStream(200, {{"Content-Type", "text/plain"}}));
    for (int i = 0; i < 3; ++i) ex.WriteChunk("part" + std::to_string(i) + ";");
    ex.EndStream();
  });
  const size_t size = 5 * 1024 * 1024 + 7;
  std::string body(size, '\0');
  uint64_t expected = 0;
  for (size_t i = 0; i < size; ++i) {
    body[i] = static_cast<char>(i * 31 % 251);
    expected += static_cast<unsigned char>(body[i]);
  }
  Client c(port_);
  c.Send("POST /up HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
         std::to_string(size) + "\r\n\r\n");
  c.Send(body);
  std::string answer = c.ReadUntilClosed();
  EXPECT_THAT(answer, HasSubstr("Transfer-Encoding: chunked"));
  EXPECT_THAT(answer, HasSubstr("part0;"));
  EXPECT_THAT(answer, HasSubstr("part2;"));
  // The last chunk ends the answer.
  EXPECT_THAT(answer, ::testing::EndsWith("0\r\n\r\n"));
  EXPECT_EQ(total, size);
  EXPECT_EQ(sum, expected);
  EXPECT_LE(largest_piece, 256u * 1024u);
}

TEST_F(HttpServerTest, RefusesBodiesOverTheLimitBeforeTheHandler) {
  std::atomic<int> calls{0};
  HttpLimits limits;
  limits.max_body_bytes = 1000;
  Start([&](HttpExchange& ex) {
    ++calls;
    BodyEnd end = ex.ReadBody([](std::string_view) { return true; });
    ex.Respond(end == BodyEnd::kTooLarge ? 413 : 200, {}, "");
  }, limits);
  {
    Client c(port_);
    c.Send("POST /up HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n\r\n");
    EXPECT_THAT(c.ReadUntilClosed(), StartsWith("HTTP/1.1 413"));
  }
  EXPECT_EQ(calls.load(), 0);
  {
    // Without a length up front, the limit stops the reading.
    Client c(port_);
    c.Send("POST /up HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
           "400\r\n" + std::string(1024, 'a') + "\r\n0\r\n\r\n");
    EXPECT_THAT(c.ReadUntilClosed(), StartsWith("HTTP/1.1 413"));
  }
  auto refusals = Refusals();
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].status, 413);
}

TEST_F(HttpServerTest, BoundsConnectionsAndClosesIdleOnes) {
  HttpLimits limits;
  limits.max_connections = 1;
  limits.idle_seconds = 1;
  Start([](HttpExchange& ex) { ex.Respond(200, {}, "ok"); }, limits);
  Client holder(port_);
  ASSERT_TRUE(holder.connected());
  holder.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_THAT(holder.ReadUntil("ok"), StartsWith("HTTP/1.1 200"));
  {
    Client second(port_);
    EXPECT_THAT(second.ReadUntilClosed(std::chrono::seconds(3)),
                StartsWith("HTTP/1.1 503"));
  }
  // The silent holder is closed after its idle time, and the port takes
  // the next caller.
  holder.ReadUntilClosed(std::chrono::seconds(5));
  EXPECT_TRUE(holder.closed());
  bool served = false;
  for (int attempt = 0; attempt < 20 && !served; ++attempt) {
    Client next(port_);
    next.Send("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    served = next.ReadUntilClosed().rfind("HTTP/1.1 200", 0) == 0;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(served);
  bool saw_503 = false;
  for (const Refusal& r : Refusals()) saw_503 |= r.status == 503;
  EXPECT_TRUE(saw_503);
}

TEST_F(HttpServerTest, AnswersGarbageWith400AndStopsPromptly) {
  Start([](HttpExchange& ex) { ex.Respond(200, {}, "ok"); });
  {
    Client c(port_);
    c.Send("\x16\x03\x01 not http at all\r\n\r\n");
    EXPECT_THAT(c.ReadUntilClosed(), StartsWith("HTTP/1.1 400"));
  }
  // A connection in the middle of its headers does not hold up the stop.
  Client slow(port_);
  slow.Send("GET / HTTP/1.1\r\nHost");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto before = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  ASSERT_FALSE(Refusals().empty());
  EXPECT_EQ(Refusals()[0].status, 400);
}

// Decodes a chunked body (after the header block); "" when malformed.
std::string Unchunk(const std::string& answer) {
  size_t at = answer.find("\r\n\r\n");
  if (at == std::string::npos) return "";
  at += 4;
  std::string body;
  for (int guard = 0; guard < 100000; ++guard) {
    const size_t eol = answer.find("\r\n", at);
    if (eol == std::string::npos) return "";
    const size_t size = std::stoul(answer.substr(at, eol - at), nullptr, 16);
    if (size == 0) return body;
    body += answer.substr(eol + 2, size);
    at = eol + 2 + size + 2;
  }
  return "";
}

TEST_F(HttpServerTest, StreamsFilesWholeBetweenPieces) {
  char name[] = "/tmp/vantor-http-file-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  std::string content(1024 * 1024 + 3, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 7 % 253);
  ASSERT_EQ(::write(fd, content.data(), content.size()),
            static_cast<ssize_t>(content.size()));
  ::close(fd);
  const std::string path = name;
  bool missing_refused = false;
  Start([&](HttpExchange& ex) {
    ex.BeginStream(200, {});
    ex.WriteChunk("<");
    ex.WriteFile(path);
    missing_refused = !ex.WriteFile(path + ".missing");
    ex.WriteChunk(">");
    ex.EndStream();
  });
  Client c(port_);
  c.Send("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::string body = Unchunk(c.ReadUntilClosed());
  ::unlink(name);
  EXPECT_EQ(body, "<" + content + ">");
  EXPECT_TRUE(missing_refused);
}

TEST_F(HttpServerTest, AnAbortedStreamLacksItsEnd) {
  Start([](HttpExchange& ex) {
    ex.BeginStream(200, {});
    ex.WriteChunk("half");
    ex.Abort();
  });
  Client c(port_);
  c.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string answer = c.ReadUntilClosed();
  EXPECT_THAT(answer, HasSubstr("half"));
  EXPECT_THAT(answer, ::testing::Not(::testing::EndsWith("0\r\n\r\n")));
  EXPECT_TRUE(c.closed());
}

}  // namespace
}  // namespace vantor::web
