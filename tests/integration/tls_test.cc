// DICOM over TLS: the service's TLS port answered by DCMTK's clients with
// +tls, the refusals of the handshake, the renewal of the certificate, and a
// C-MOVE that the sender delivers to a storescp +tls destination. The
// certificates are made by openssl in a temp folder.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/processes.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.8.1";
constexpr char kSeries[] = "1.2.826.0.1.3680043.9.8.1.1";

size_t FileCount(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file()) ++n;
  return n;
}

// A CA and the certificates it signs (RSA 2048, SHA-256), as PEM files in a
// folder of their own.
class Pki {
 public:
  Pki(const std::string& dir, const std::string& ca_name) : dir_(dir) {
    fs::create_directories(dir_);
    Run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days",
         "2", "-subj", "/CN=" + ca_name, "-keyout", Key(ca_), "-out",
         Cert(ca_)});
  }
  // A certificate for `name`, signed by the CA.
  void Issue(const std::string& name) {
    Run({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
         "-keyout", Key(name), "-out", dir_ + "/" + name + ".csr"});
    Run({"x509", "-req", "-in", dir_ + "/" + name + ".csr", "-CA", Cert(ca_),
         "-CAkey", Key(ca_), "-CAcreateserial", "-sha256", "-days", "2",
         "-out", Cert(name)});
  }
  std::string Key(const std::string& name) const {
    return dir_ + "/" + name + ".key";
  }
  std::string Cert(const std::string& name) const {
    return dir_ + "/" + name + ".pem";
  }
  std::string CaCert() const { return Cert(ca_); }

 private:
  void Run(const std::vector<std::string>& args) {
    ToolResult r = RunDcmtkTool("openssl", args, std::chrono::seconds(60));
    if (r.exit_code != 0) throw std::runtime_error("openssl: " + r.output);
  }
  std::string dir_;
  std::string ca_ = "ca";
};

bool WaitUntilListening(int port) {
  for (int i = 0; i < 400 && !IsListening(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  return IsListening(port);
}

// getscu has no TLS of its own: it is run through socat, which takes plain
// connections on a loopback port and carries each over TLS to `tls_port`
// with the client's certificate, trusting `ca` for the service's.
class TlsTunnel {
 public:
  TlsTunnel(int tls_port, const Pki& pki)
      : port_(FreeLoopbackPort()),
        socat_({"/usr/bin/socat",
                "TCP-LISTEN:" + std::to_string(port_) +
                    ",bind=127.0.0.1,reuseaddr,fork",
                "OPENSSL:127.0.0.1:" + std::to_string(tls_port) +
                    ",cert=" + pki.Cert("client") + ",key=" +
                    pki.Key("client") + ",cafile=" + pki.CaCert() +
                    ",commonname=server"}) {}
  int port() const { return port_; }

 private:
  int port_;
  Background socat_;
};

// A TCP connection to a loopback port that sends nothing.
class SilentPeer {
 public:
  explicit SilentPeer(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr),
                                       sizeof addr) == 0;
  }
  ~SilentPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }

 private:
  int fd_;
  bool connected_ = false;
};

class DicomTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = std::make_unique<Pki>(pki_dir_, "Vantor Test CA");
    pki_->Issue("server");
    pki_->Issue("client");
    tls_port_ = FreeLoopbackPort();
  }
  void TearDown() override { service_.Stop(); }

  RegValues TlsValues(bool verify_peer = false) const {
    return {{"TLSPort", std::to_string(tls_port_)},
            {"TLSCertificate", pki_->Cert("server")},
            {"TLSPrivateKey", pki_->Key("server")},
            {"TLSCACertificates", pki_->CaCert()},
            {"TLSVerifyPeer", verify_peer ? "1" : "0"}};
  }

  bool Start(const RegValues& instance_values) {
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.instance_values = instance_values;
    options.instance_values.push_back({"DateFormat", FixtureArchive::kDateFormat});
    return service_.Start(options) && WaitUntilListening(tls_port_);
  }

  // The client's TLS options: its own certificate (or none) and the CA it
  // trusts.
  std::vector<std::string> ClientTls(bool with_certificate = true,
                                     const std::string& trusted = "") const {
    std::vector<std::string> args;
    if (with_certificate) {
      args = {"+tls", pki_->Key("client"), pki_->Cert("client")};
    } else {
      args = {"+tla"};
    }
    args.push_back("+cf");
    args.push_back(trusted.empty() ? pki_->CaCert() : trusted);
    return args;
  }

  ToolResult Tool(const std::string& tool, std::vector<std::string> args,
                  int port, const std::vector<std::string>& tls) {
    args.insert(args.begin(), tls.begin(), tls.end());
    args.push_back("127.0.0.1");
    args.push_back(std::to_string(port));
    return RunDcmtkTool(tool, args, std::chrono::seconds(60));
  }
  ToolResult Echo(int port, const std::vector<std::string>& tls = {}) {
    return Tool("echoscu", {"-aet", "ECHOSCU"}, port, tls);
  }

  // One series of `count` images of the archive, with its files.
  void AddStudy(int count) {
    const std::string source = archive_.dir() + "/archive/ST1";
    fs::create_directories(source);
    FixtureArchive::Location where;
    where.archive_path = archive_.dir() + "/archive";
    FixtureArchive::Patient patient;
    patient.patient_id = "TLS1";
    patient.last_name = "Secure";
    FixtureArchive::Study study;
    study.study_uid = kStudy;
    study.archive_id = archive_.AddLocation(where);
    study.directory = "ST1";
    const int64_t st = archive_.AddStudy(archive_.AddPatient(patient), study);
    FixtureArchive::Series series;
    series.series_uid = kSeries;
    const int64_t se = archive_.AddSeries(st, series);
    for (int i = 1; i <= count; ++i) {
      FixtureArchive::Image image;
      image.image_uid = std::string(kSeries) + "." + std::to_string(i);
      image.image_nr = i;
      archive_.AddImage(se, image);
    }
    ToolResult made = RunDcmtkTool(
        std::string(VANTOR_BUILD_DIR) + "/make-study",
        {"--dir", source, "--study-uid", kStudy, "--series-uid", kSeries,
         "--count", std::to_string(count), "--rows", "32", "--cols", "32",
         "--patient-id", "TLS1", "--patient-name", "Secure"});
    ASSERT_EQ(made.exit_code, 0) << made.output;
  }

  std::string CallingLog() const {
    return service_.ReadLog("Calling" + service_.port_text() + ".log");
  }

  TempFolder pki_folder_{"tls"};
  const std::string pki_dir_ = pki_folder_.path();
  std::unique_ptr<Pki> pki_;
  int tls_port_ = 0;
  FixtureArchive archive_;
  ServiceProcess service_;
};

TEST_F(DicomTlsTest, EchoFindStoreAndGetOverTlsBesideThePlainPort) {
  AddStudy(2);
  archive_.AddNode("FINDSCU", "127.0.0.1");
  archive_.AddNode("GETSCU", "127.0.0.1");
  ASSERT_TRUE(Start(TlsValues())) << service_.Describe();

  ToolResult echo = Echo(tls_port_, ClientTls());
  EXPECT_EQ(echo.exit_code, 0) << echo.output << service_.Describe();
  // The plain port serves as before.
  EXPECT_EQ(Echo(service_.port()).exit_code, 0);
  // The association log tells the encrypted association from the plain one.
  const std::string calling = CallingLog();
  EXPECT_THAT(calling, HasSubstr("\tECHOSCU\tTrue\t127.0.0.1\t1\tANY-SCP\tTLS "
                                 "TLSv1."))
      << calling;
  EXPECT_THAT(calling, HasSubstr("\t2\tANY-SCP\r\n")) << calling;

  ToolResult find = Tool("findscu",
                         {"-v", "-S", "-aet", "FINDSCU", "-k",
                          "QueryRetrieveLevel=STUDY", "-k", "PatientID=TLS1",
                          "-k", "StudyInstanceUID"},
                         tls_port_, ClientTls());
  EXPECT_THAT(find.output, HasSubstr(kStudy)) << find.output;
  EXPECT_THAT(find.output, HasSubstr("Received Final Find Response (Success)"))
      << find.output;

  const std::string out = pki_dir_ + "/got";
  fs::create_directories(out);
  TlsTunnel tunnel(tls_port_, *pki_);
  ASSERT_TRUE(WaitUntilListening(tunnel.port()));
  ToolResult get = Tool("getscu",
                        {"-v", "-S", "-aet", "GETSCU", "-od", out, "-k",
                         "QueryRetrieveLevel=STUDY", "-k",
                         std::string("StudyInstanceUID=") + kStudy},
                        tunnel.port(), {});
  EXPECT_THAT(get.output, HasSubstr("Received C-GET Response (Success)"))
      << get.output << service_.Describe();
  EXPECT_EQ(FileCount(out), 2u);

  TestImage image;
  image.sop_instance_uid = "1.2.826.0.1.3680043.9.8.9";
  const std::string file = pki_dir_ + "/store.dcm";
  WriteTestImage(file, image);
  std::vector<std::string> store_args = ClientTls();
  for (const char* a : {"-v", "-aet", "MODAL", "127.0.0.1"})
    store_args.push_back(a);
  store_args.push_back(std::to_string(tls_port_));
  store_args.push_back(file);
  ToolResult store =
      RunDcmtkTool("storescu", store_args, std::chrono::seconds(60));
  EXPECT_THAT(store.output, HasSubstr("Received Store Response (Success)"))
      << store.output;
  EXPECT_TRUE(fs::exists(service_.program_dir() + "/drives/e/Temp/" +
                         image.sop_instance_uid + ".dcm"));
  EXPECT_EQ(service_.ErrorLog(), "");
}

TEST_F(DicomTlsTest, WithVerifyPeerACallerWithoutATrustedCertificateIsRefused) {
  ASSERT_TRUE(Start(TlsValues(true))) << service_.Describe();
  ToolResult anonymous = Echo(tls_port_, ClientTls(false));
  EXPECT_NE(anonymous.exit_code, 0) << anonymous.output;
  EXPECT_FALSE(anonymous.timed_out);

  // A certificate from a CA the service does not trust.
  Pki rogue(pki_dir_ + "/rogue", "Rogue CA");
  ASSERT_NO_THROW(rogue.Issue("intruder"));
  ToolResult intruder =
      Echo(tls_port_, {"+tls", rogue.Key("intruder"), rogue.Cert("intruder"),
                       "+cf", pki_->CaCert()});
  EXPECT_NE(intruder.exit_code, 0) << intruder.output;

  ToolResult trusted = Echo(tls_port_, ClientTls());
  EXPECT_EQ(trusted.exit_code, 0) << trusted.output;
  // The caller's certificate subject is in the association log.
  EXPECT_THAT(CallingLog(), HasSubstr("CN=client")) << CallingLog();
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("TLS handshake with 127.0.0.1 failed: "))
      << service_.ErrorLog();
}

TEST_F(DicomTlsTest, AClientRefusesAServiceItsCasDoNotVouchFor) {
  ASSERT_TRUE(Start(TlsValues())) << service_.Describe();
  Pki other(pki_dir_ + "/other", "Other CA");
  ToolResult echo = Echo(tls_port_, ClientTls(true, other.CaCert()));
  EXPECT_NE(echo.exit_code, 0) << echo.output;
  EXPECT_THAT(echo.output, HasSubstr("certificate verify failed"))
      << echo.output;
}

TEST_F(DicomTlsTest, PlainDicomAndSilentPeersOnTheTlsPortHoldNobodyUp) {
  ASSERT_TRUE(Start(TlsValues())) << service_.Describe();
  // Plain DICOM on the TLS port: refused, not hung.
  ToolResult plain = Echo(tls_port_);
  EXPECT_NE(plain.exit_code, 0) << plain.output;
  EXPECT_FALSE(plain.timed_out);
  // Peers that connect and say nothing wait for their handshake on threads
  // of their own.
  std::vector<std::unique_ptr<SilentPeer>> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(std::make_unique<SilentPeer>(tls_port_));
    EXPECT_TRUE(silent.back()->connected());
  }
  ToolResult on_plain = Echo(service_.port());
  EXPECT_EQ(on_plain.exit_code, 0) << on_plain.output;
  ToolResult on_tls = Echo(tls_port_, ClientTls());
  EXPECT_EQ(on_tls.exit_code, 0) << on_tls.output << service_.Describe();
  EXPECT_TRUE(service_.WaitForLog(
      "ErrorVantor" + service_.port_text() + ".log",
      "TLS handshake with 127.0.0.1 failed: ", std::chrono::seconds(10)))
      << service_.ErrorLog();
}

TEST_F(DicomTlsTest, ASilentPeerIsCutOffAtTheAssociationTime) {
  RegValues values = TlsValues();
  values.push_back({"AssociationTimeout", "2"});
  ASSERT_TRUE(Start(values)) << service_.Describe();
  SilentPeer silent(tls_port_);
  ASSERT_TRUE(silent.connected());
  EXPECT_TRUE(service_.WaitForLog(
      "ErrorVantor" + service_.port_text() + ".log",
      "TLS handshake with 127.0.0.1 failed: no handshake within 2 s",
      std::chrono::seconds(30)))
      << service_.ErrorLog();
}

TEST_F(DicomTlsTest, AnUnreadableCertificateLeavesOnlyThePlainPort) {
  RegValues values = TlsValues();
  values[1].second = pki_dir_ + "/missing.pem";
  ServiceProcess::Options options;
  options.db_server = archive_.DBServer();
  options.instance_values = values;
  ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  const std::string error_log = "ErrorVantor" + service_.port_text() + ".log";
  EXPECT_TRUE(service_.WaitForLog(
      error_log, "TLS port " + std::to_string(tls_port_) +
                     " not opened: TLS certificate " + pki_dir_ +
                     "/missing.pem cannot be read"))
      << service_.ErrorLog();
  EXPECT_EQ(Echo(service_.port()).exit_code, 0);
  EXPECT_FALSE(IsListening(tls_port_));

  // A key that is not the certificate's is refused as well.
  service_.Stop();
  values = TlsValues();
  values[2].second = pki_->Key("client");
  options.instance_values = values;
  ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  EXPECT_TRUE(
      service_.WaitForLog(error_log, "does not belong to the certificate"))
      << service_.ErrorLog();
  EXPECT_FALSE(IsListening(tls_port_));
}

TEST_F(DicomTlsTest, ARenewedCertificateIsTakenUpWithoutARestart) {
  // The certificate files are named in the Windows form of the drive.
  const std::string drive = service_.program_dir() + "/drives/d";
  fs::create_directories(drive + "/certs");
  fs::copy_file(pki_->Cert("server"), drive + "/certs/server.pem");
  fs::copy_file(pki_->Key("server"), drive + "/certs/server.key");
  RegValues values = TlsValues();
  values[1].second = "D:\\certs\\server.pem";
  values[2].second = "D:\\certs\\server.key";
  ASSERT_TRUE(Start(values)) << service_.Describe();
  ASSERT_EQ(Echo(tls_port_, ClientTls()).exit_code, 0);

  // The renewed certificate comes from another CA: clients that trust only
  // the new one can tell which certificate the service presents.
  Pki renewed(pki_dir_ + "/renewed", "Renewed CA");
  renewed.Issue("server");
  fs::copy_file(renewed.Key("server"), drive + "/certs/server.key",
                fs::copy_options::overwrite_existing);
  fs::copy_file(renewed.Cert("server"), drive + "/certs/server.pem",
                fs::copy_options::overwrite_existing);
  // The configuration pass comes every 30 s.
  ASSERT_TRUE(service_.WaitForLog(
      "DebugVantor" + service_.port_text() + ".log",
      "TLS certificate re-read for port " + std::to_string(tls_port_),
      std::chrono::seconds(90)))
      << service_.Describe();
  ToolResult echo = Echo(tls_port_, ClientTls(true, renewed.CaCert()));
  EXPECT_EQ(echo.exit_code, 0) << echo.output << service_.Describe();
  EXPECT_NE(Echo(tls_port_, ClientTls()).exit_code, 0);
}

TEST_F(DicomTlsTest, MoveDeliversToAStorescpTlsDestination) {
  AddStudy(3);
  archive_.AddNode("MOVESCU", "127.0.0.1");
  pki_->Issue("dest");
  const std::string received = pki_dir_ + "/in";
  fs::create_directories(received);
  const int dest_port = FreeLoopbackPort();
  // The destination requires and verifies the sender's certificate.
  Background storescp({"/usr/bin/storescp", "+tls", pki_->Key("dest"),
                       pki_->Cert("dest"), "+cf", pki_->CaCert(), "-aet",
                       "DEST", "-od", received, std::to_string(dest_port)});
  ASSERT_TRUE(WaitUntilListening(dest_port));
  archive_.AddNode("DEST", "127.0.0.1", false, false, false, dest_port);
  archive_.Exec("UPDATE tblDicomAETs SET UseTLS = 1 WHERE AET = 'DEST'");
  ASSERT_TRUE(Start(TlsValues())) << service_.Describe();

  ToolResult move = Tool("movescu",
                         {"-v", "-S", "-aet", "MOVESCU", "-aem", "DEST", "-k",
                          "QueryRetrieveLevel=STUDY", "-k",
                          std::string("StudyInstanceUID=") + kStudy},
                         service_.port(), {});
  EXPECT_EQ(move.exit_code, 0) << move.output;
  EXPECT_THAT(move.output, HasSubstr("Received Final Move Response (Success)"))
      << move.output << service_.Describe();
  for (int i = 0; i < 400 && FileCount(received) < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(FileCount(received), 3u);
  EXPECT_THAT(service_.ReadLog("SendVantor" + service_.port_text() + ".log"),
              HasSubstr("3 images to send to DEST (127.0.0.1:" +
                        std::to_string(dest_port) + ") as "))
      << service_.Describe();
  EXPECT_THAT(service_.ReadLog("SendVantor" + service_.port_text() + ".log"),
              HasSubstr(" over TLS"));

  // A destination that asks for TLS but presents an untrusted certificate
  // gets nothing.
  Pki rogue(pki_dir_ + "/rogue", "Rogue CA");
  rogue.Issue("dest");
  const std::string rogue_in = pki_dir_ + "/rogue-in";
  fs::create_directories(rogue_in);
  const int rogue_port = FreeLoopbackPort();
  Background impostor({"/usr/bin/storescp", "+tls", rogue.Key("dest"),
                       rogue.Cert("dest"), "-ic", "-aet", "IMPOSTOR", "-od",
                       rogue_in, std::to_string(rogue_port)});
  ASSERT_TRUE(WaitUntilListening(rogue_port));
  archive_.AddNode("IMPOSTOR", "127.0.0.1", false, false, false, rogue_port);
  archive_.Exec("UPDATE tblDicomAETs SET UseTLS = 1 WHERE AET = 'IMPOSTOR'");
  ToolResult refused = Tool("movescu",
                            {"-v", "-S", "-aet", "MOVESCU", "-aem", "IMPOSTOR",
                             "-k", "QueryRetrieveLevel=STUDY", "-k",
                             std::string("StudyInstanceUID=") + kStudy},
                            service_.port(), {});
  EXPECT_THAT(refused.output, Not(HasSubstr("Final Move Response (Success)")))
      << refused.output;
  EXPECT_EQ(FileCount(rogue_in), 0u);
}

}  // namespace
}  // namespace vantor
