// TLS between two Socket objects on loopback, with certificates the test
// makes itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/event_loop.h"
#include "net/socket.h"
#include "tests/net/net_test_util.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct CertFiles {
  std::string certificate;
  std::string key;
};

// A self-signed certificate (EC P-256, valid for an hour) for `common_name`
// with its private key, as PEM files in `dir`.
CertFiles MakeSelfSigned(const std::string& dir, const std::string& common_name,
                         long serial) {
  CertFiles files{dir + "/" + common_name + ".crt",
                  dir + "/" + common_name + ".key"};
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ca = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints,
                                           "critical,CA:TRUE");
  X509_add_ext(cert, ca, -1);
  X509_EXTENSION_free(ca);
  X509_sign(cert, key, EVP_sha256());

  FILE* out = std::fopen(files.certificate.c_str(), "w");
  PEM_write_X509(out, cert);
  std::fclose(out);
  out = std::fopen(files.key.c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

// A TLS listener on a thread and loop of its own (the client's handshake
// runs at once on the test's thread): accepts every connection and echoes
// what arrives in upper case.
class TlsEchoServer {
 public:
  TlsEchoServer(const std::string& certificate, const std::string& key) {
    std::promise<int> port;
    std::future<int> listening = port.get_future();
    thread_ = std::thread([this, certificate, key, &port] {
      EventLoop loop;
      Socket listener(loop);
      std::vector<std::unique_ptr<Socket>> accepted;
      listener.SSLEnable = true;
      listener.SSLServerCertificate = certificate;
      listener.SSLServerKey = key;
      listener.events.ConnectionRequest = [&] {
        accepted.push_back(std::make_unique<Socket>(loop));
        Socket* socket = accepted.back().get();
        socket->events.DataArrival = [socket](const SocketBytes& bytes,
                                              const std::string&) {
          SocketBytes upper = bytes;
          for (uint8_t& b : upper) b = static_cast<uint8_t>(toupper(b));
          socket->SendData(upper);
        };
        socket->events.Closed = [this] { ++closed_; };
        socket->Accept(listener);
        if (socket->State == Socket::kStateConnected) ++accepted_;
      };
      listener.Listen();
      port.set_value(listener.LocalPort);
      RunUntil(
          loop, [this] { return stop_.load(); }, std::chrono::seconds(60));
    });
    port_ = listening.get();
  }

  ~TlsEchoServer() {
    stop_ = true;
    thread_.join();
  }

  int port() const { return port_; }
  int accepted() const { return accepted_; }
  int closed() const { return closed_; }

 private:
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> closed_{0};
};

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(TestProgramDir() + "/tls");
    fs::create_directories(*dir_);
    server_ = new CertFiles(MakeSelfSigned(*dir_, "vantor-test-server", 1));
    other_ = new CertFiles(MakeSelfSigned(*dir_, "someone-else", 2));
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete server_;
    delete other_;
    delete dir_;
  }

  static std::string* dir_;
  static CertFiles* server_;
  static CertFiles* other_;
};

std::string* TlsTest::dir_ = nullptr;
CertFiles* TlsTest::server_ = nullptr;
CertFiles* TlsTest::other_ = nullptr;

TEST_F(TlsTest, RoundTripBetweenTwoSockets) {
  TlsEchoServer server(server_->certificate, server_->key);
  EventLoop loop;
  Socket client(loop);
  client.SSLEnable = true;
  client.SSLCAFile = server_->certificate;
  client.LineSeparator = "\r\n";
  std::vector<std::string> log;
  client.events.Connected = [&] {
    // Everything about the peer is known when Connected is raised.
    log.push_back(std::string("Connected trusted=") +
                  (client.SSLTrusted ? "1" : "0"));
  };
  client.events.LineDataArrival =
      [&](const std::string& line, const std::string&) { log.push_back(line); };
  client.events.Closed = [&] { log.push_back("Closed"); };

  client.Connect("127.0.0.1", server.port());
  ASSERT_EQ(client.State, Socket::kStateConnected);
  EXPECT_GT(client.SSLHandle, 100);
  EXPECT_TRUE(client.SSLTrusted);
  EXPECT_FALSE(client.SSLCipher.empty());
  EXPECT_THAT(client.SSLSubject, HasSubstr("CN=vantor-test-server"));
  EXPECT_THAT(client.SSLIssuer, HasSubstr("CN=vantor-test-server"));
  EXPECT_EQ(client.RemotePort, server.port());
  EXPECT_GT(client.LocalPort, 0);

  client.SendData("ping");
  client.SendData("second line");
  ASSERT_TRUE(RunUntil(loop, [&] { return log.size() >= 3; }));
  EXPECT_THAT(log, ElementsAre("Connected trusted=1", "PING", "SECOND LINE"));

  // A large message crosses in many records and chunks.
  std::string big(100000, 'a');
  client.SendData(big);
  std::string expected(100000, 'A');
  ASSERT_TRUE(RunUntil(loop, [&] { return log.size() >= 4; }));
  EXPECT_EQ(log[3], expected);

  client.Disconnect();
  EXPECT_EQ(client.SSLHandle, 0);
  EXPECT_EQ(client.State, Socket::kStateClosed);
  EXPECT_TRUE(RunUntil(loop, [&] { return server.closed() == 1; }));
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(TlsTest, AnUnknownCertificateIsNotTrusted) {
  TlsEchoServer server(server_->certificate, server_->key);
  EventLoop loop;
  Socket client(loop);
  client.SSLEnable = true;
  client.SSLCAFile = other_->certificate;
  client.Connect("127.0.0.1", server.port());
  ASSERT_EQ(client.State, Socket::kStateConnected);
  EXPECT_FALSE(client.SSLTrusted);
  EXPECT_THAT(client.SSLSubject, HasSubstr("CN=vantor-test-server"));
  std::string echoed;
  client.events.DataArrival = [&](const SocketBytes& bytes,
                                  const std::string&) {
    echoed += std::string(bytes.begin(), bytes.end());
  };
  client.SendData("still works");
  ASSERT_TRUE(RunUntil(loop, [&] { return echoed.size() == 11; }));
  EXPECT_EQ(echoed, "STILL WORKS");
}

TEST_F(TlsTest, AServerWithoutItsKeyRefusesTheHandshake) {
  TlsEchoServer server(server_->certificate, *dir_ + "/missing.key");
  EventLoop loop;
  Socket client(loop);
  client.SSLEnable = true;
  client.SSLCAFile = server_->certificate;
  bool connected = false;
  client.events.Connected = [&] { connected = true; };
  client.Connect("127.0.0.1", server.port());
  EXPECT_FALSE(connected);
  EXPECT_EQ(client.State, Socket::kStateClosed);
  EXPECT_EQ(client.SSLHandle, 0);
  EXPECT_EQ(client.SocketHandle, 0);
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(TlsTest, APeerThatNeverSpeaksTlsDoesNotHoldTheClient) {
  // A plain listener that accepts nothing and says nothing.
  EventLoop loop;
  Socket silent(loop);
  silent.Listen();
  ASSERT_EQ(silent.State, Socket::kStateListening);
  Socket client(loop);
  client.SSLEnable = true;
  client.TimeOut = 300;
  client.Connect("127.0.0.1", silent.LocalPort);
  EXPECT_EQ(client.State, Socket::kStateClosed);
  EXPECT_EQ(client.SSLHandle, 0);
}

}  // namespace
}  // namespace vantor
