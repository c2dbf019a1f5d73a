// The TLS transport against a collector on loopback made with OpenSSL in
// the test: octet-counted syslog frames on one connection, the collector's
// certificate checked against the configured CAs, a new connection after
// the collector dropped the old one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audit/audit_trail.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"

namespace vantor::audit {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A self-signed certificate for 127.0.0.1 (its own CA).
void MakeCertificate(const std::string& cert, const std::string& key,
                     const std::string& name) {
  ToolResult r = RunDcmtkTool(
      "openssl",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-sha256", "-days", "2",
       "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1",
       "-keyout", key, "-out", cert},
      std::chrono::seconds(60));
  ASSERT_EQ(r.exit_code, 0) << r.output;
}

// A TLS collector on a loopback port: takes `connections` connections one
// after the other on its own thread and keeps what each sent, until the
// peer ends it or `frames_each` frames arrived (every wait bounded).
class TlsCollector {
 public:
  TlsCollector(const std::string& cert, const std::string& key) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx_, cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~TlsCollector() {
    Join();
    ::close(fd_);
    SSL_CTX_free(ctx_);
  }

  int port() const { return port_; }

  void Run(int connections, size_t frames_each) {
    thread_ = std::thread([this, connections, frames_each] {
      for (int c = 0; c < connections; ++c) {
        std::string bytes = Take(frames_each);
        std::lock_guard<std::mutex> lock(mu_);
        received_.push_back(std::move(bytes));
        closed_.notify_all();
      }
    });
  }
  // Waits (at most 20 s) until `n` connections were taken and closed.
  bool WaitClosed(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return closed_.wait_for(lock, std::chrono::seconds(20),
                            [&] { return received_.size() >= n; });
  }
  // The bytes of each connection.
  const std::vector<std::string>& Join() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  std::string Take(size_t frames) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return "";
    const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return "";
    timeval t{20, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, conn);
    std::string bytes;
    if (SSL_accept(ssl) == 1) {
      char buffer[16384];
      // Each round reads at least one byte or ends.
      for (int round = 0; round < 100000 && CountFrames(bytes) < frames;
           ++round) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
      }
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ::close(conn);
    return bytes;
  }

  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable closed_;
  std::vector<std::string> received_;

 public:
  // The whole "LEN SP MSG" frames at the start of `bytes`.
  static size_t CountFrames(const std::string& bytes) {
    return Frames(bytes).size();
  }
  static std::vector<std::string> Frames(const std::string& bytes) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < bytes.size()) {
      const size_t space = bytes.find(' ', at);
      if (space == std::string::npos || space - at > 9) break;
      const size_t length = std::stoul(bytes.substr(at, space - at));
      if (space + 1 + length > bytes.size()) break;
      out.push_back(bytes.substr(space + 1, length));
      at = space + 1 + length;
    }
    return out;
  }
};

class AuditTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeCertificate(folder_.Path("collector.pem"),
                                            folder_.Path("collector.key"),
                                            "collector"));
    ASSERT_NO_FATAL_FAILURE(MakeCertificate(
        folder_.Path("other.pem"), folder_.Path("other.key"), "other"));
  }

  Config ConfigFor(int port, const std::string& ca) {
    Config c;
    c.AuditCollector = "tls://127.0.0.1:" + std::to_string(port);
    c.TLSCACertificates = ca;
    return c;
  }

  AuditSource Source() {
    AuditSource s;
    s.aet = "OWN_AET";
    s.host = "front";
    s.process_id = "9";
    return s;
  }

  TempFolder folder_{"audit-tls"};
};

TEST_F(AuditTlsTest, FramesGoOutOctetCountedAndAfterALossOnANewConnection) {
  TlsCollector collector(folder_.Path("collector.pem"),
                         folder_.Path("collector.key"));
  // The first connection takes two messages and is then closed by the
  // collector; the third message needs a connection of its own.
  collector.Run(2, 2);
  std::unique_ptr<Transport> transport =
      TransportFor(ConfigFor(collector.port(), folder_.Path("collector.pem")));
  AuditRecord start;
  start.event = AuditEvent::kApplicationStart;
  AuditRecord alert;
  alert.event = AuditEvent::kSecurityAlert;
  alert.alert_text = "Unauthorized C-FIND from X/10.0.0.1";
  std::string why;
  ASSERT_TRUE(transport->Send(start, Source(), why)) << why;
  ASSERT_TRUE(transport->Send(alert, Source(), why)) << why;
  ASSERT_TRUE(collector.WaitClosed(1));
  // The closed connection is noticed before the next message goes.
  EXPECT_TRUE(transport->Send(start, Source(), why)) << why;
  transport.reset();
  const std::vector<std::string>& connections = collector.Join();
  ASSERT_EQ(connections.size(), 2u);
  const std::vector<std::string> first = TlsCollector::Frames(connections[0]);
  ASSERT_EQ(first.size(), 2u) << connections[0];
  EXPECT_THAT(first[0], StartsWith("<85>1 "));
  EXPECT_THAT(first[0], HasSubstr(" front vantor 9 IHE+RFC-3881 - \xEF\xBB\xBF<?xml"));
  EXPECT_THAT(first[0], HasSubstr("csd-code=\"110120\""));
  EXPECT_THAT(first[1], StartsWith("<84>1 "));
  EXPECT_THAT(first[1], HasSubstr("Unauthorized C-FIND from X/10.0.0.1"));
  EXPECT_THAT(first[1], testing::EndsWith("</AuditMessage>"));
  const std::vector<std::string> second = TlsCollector::Frames(connections[1]);
  ASSERT_GE(second.size(), 1u) << connections[1];
  EXPECT_THAT(second[0], HasSubstr("csd-code=\"110120\""));
}

TEST_F(AuditTlsTest, ACollectorTheCasDoNotVouchForGetsNothing) {
  TlsCollector collector(folder_.Path("collector.pem"),
                         folder_.Path("collector.key"));
  collector.Run(1, 1);
  std::unique_ptr<Transport> transport =
      TransportFor(ConfigFor(collector.port(), folder_.Path("other.pem")));
  AuditRecord start;
  std::string why;
  EXPECT_FALSE(transport->Send(start, Source(), why));
  EXPECT_THAT(why, HasSubstr("certificate"));
  transport.reset();
  const std::vector<std::string>& connections = collector.Join();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0], "");
}

TEST_F(AuditTlsTest, AnAbsentCollectorFailsTheSendWithoutHanging) {
  const int port = FreeLoopbackPort();
  std::unique_ptr<Transport> transport =
      TransportFor(ConfigFor(port, folder_.Path("collector.pem")));
  AuditRecord start;
  std::string why;
  EXPECT_FALSE(transport->Send(start, Source(), why));
  EXPECT_THAT(why, HasSubstr("cannot be reached"));
}

}  // namespace
}  // namespace vantor::audit
