// What a balancer and a monitoring system see of the running service: the
// bounds per calling address and AE title, the health pages, and the
// metrics page read with the Prometheus client library's own parser.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/raw_dicom.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using std::chrono::milliseconds;
using std::chrono::seconds;

// An A-ASSOCIATE-RJ body: reserved, result, source, reason.
struct Rejection {
  int result = 0;
  int source = 0;
  int reason = 0;
};

// Opens an association from `source` as `calling` and keeps it open; the
// rejection when the service turned it away.
struct Caller {
  std::unique_ptr<RawConnection> connection;
  bool accepted = false;
  Rejection rejection;
};

Caller Call(int port, const std::string& source, const std::string& calling) {
  Caller caller;
  caller.connection = std::make_unique<RawConnection>(port, source);
  RawConnection& c = *caller.connection;
  if (!c.Send(AssociateRq("ANY-SCP", calling, {{1, kVerificationUid}})))
    return caller;
  std::optional<RawPdu> pdu = c.ReadPdu(seconds(20));
  if (!pdu) return caller;
  if (pdu->type == kPduAssociateAc) caller.accepted = true;
  if (pdu->type == kPduAssociateRj && pdu->body.size() >= 4) {
    caller.rejection.result = static_cast<uint8_t>(pdu->body[1]);
    caller.rejection.source = static_cast<uint8_t>(pdu->body[2]);
    caller.rejection.reason = static_cast<uint8_t>(pdu->body[3]);
  }
  return caller;
}

// Releases an accepted association and waits for the answer, so that the
// service has counted it down.
void Release(Caller& caller) {
  if (!caller.accepted) return;
  caller.connection->Send(ReleaseRq());
  caller.connection->ReadPdu(seconds(10));
  caller.connection->Close();
  caller.accepted = false;
}

// Transient, from the service provider (presentation related), temporary
// congestion.
void ExpectCongested(const Caller& caller, const std::string& who) {
  EXPECT_FALSE(caller.accepted) << who;
  EXPECT_EQ(caller.rejection.result, 2) << who;
  EXPECT_EQ(caller.rejection.source, 3) << who;
  EXPECT_EQ(caller.rejection.reason, 1) << who;
}

class OpsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    health_port_ = FreeLoopbackPort();
  }
  void TearDown() override { service_.Stop(); }

  void StartService(RegValues instance_values) {
    archive_.AddNode("STORESCU", "127.0.0.1");
    archive_.AddNode("ECHOSCU", "127.0.0.1");
    archive_.AddNode("FINDSCU", "127.0.0.1");
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    instance_values.push_back({"HealthPort", std::to_string(health_port_)});
    options.instance_values = std::move(instance_values);
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
    // The health port opens with the web port's first update.
    for (int i = 0; i < 100 && Get("/health/live").status != 200; ++i)
      std::this_thread::sleep_for(milliseconds(100));
  }

  struct Answer {
    int status = 0;
    std::string body;
  };
  Answer Get(const std::string& path, const std::string& method = "GET") {
    const std::string body = work_.path() + "/body";
    fs::remove(body);
    ToolResult r = RunDcmtkTool(
        "/usr/bin/curl",
        {"-s", "-o", body, "-w", "%{http_code}", "--max-time", "30", "-X",
         method, "http://127.0.0.1:" + std::to_string(health_port_) + path},
        seconds(60));
    Answer a;
    a.status = std::atoi(r.output.c_str());
    a.body = ReadWholeFile(body);
    return a;
  }

  // The metrics page as the Prometheus client library reads it: sample
  // (name with its sorted labels) to value.
  std::map<std::string, double> Samples() {
    Answer page = Get("/metrics");
    EXPECT_EQ(page.status, 200);
    const std::string file = work_.path() + "/metrics.txt";
    {
      std::ofstream out(file);
      out << page.body;
    }
    ToolResult r = RunDcmtkTool(
        "/usr/bin/python3",
        {std::string(VANTOR_SOURCE_DIR) + "/tests/support/metrics_samples.py",
         file});
    EXPECT_EQ(r.exit_code, 0) << r.output << page.body;
    std::map<std::string, double> samples;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
      const size_t blank = line.rfind(' ');
      if (blank == std::string::npos) continue;
      samples[line.substr(0, blank)] = std::atof(line.c_str() + blank + 1);
    }
    return samples;
  }

  FixtureArchive archive_;
  ServiceProcess service_;
  TempFolder work_{"ops"};
  int health_port_ = 0;
};

// One address may hold only its share of the 32 slots; the others still get
// in, from another address or under another AE title, and a freed slot can
// be taken again.
TEST_F(OpsE2eTest, NoCallerTakesEverySlot) {
  StartService({{"AssociationsPerAddress", "3"},
                {"AssociationsPerAETitle", "2"},
                {"BalancerAddresses", "127.0.0.5"}});
  std::vector<Caller> held;
  for (const char* ae : {"HOG1", "HOG2", "HOG3"}) {
    held.push_back(Call(service_.port(), "127.0.0.1", ae));
    ASSERT_TRUE(held.back().accepted) << ae;
  }
  // The fourth from that address, whatever its title.
  ExpectCongested(Call(service_.port(), "127.0.0.1", "HOG4"), "4th address");
  // Another address is let in...
  Caller other = Call(service_.port(), "127.0.0.2", "OTHER");
  EXPECT_TRUE(other.accepted);
  // ...but not under a title that holds its two already.
  held.push_back(Call(service_.port(), "127.0.0.3", "HOG1"));
  EXPECT_TRUE(held.back().accepted);
  ExpectCongested(Call(service_.port(), "127.0.0.4", "HOG1"), "3rd title");
  // A balancer's address carries many callers: bound by title only.
  std::vector<Caller> balanced;
  for (const char* ae : {"B1", "B2", "B3", "B4", "B5"}) {
    balanced.push_back(Call(service_.port(), "127.0.0.5", ae));
    EXPECT_TRUE(balanced.back().accepted) << ae;
  }
  // A released association frees its caller's slot (once the service has
  // seen the end: it is counted as closed after its slot is free).
  Release(held[0]);
  for (int i = 0; i < 100; ++i) {
    if (Samples()["vantor_associations_open{}"] == 9) break;
    std::this_thread::sleep_for(milliseconds(50));
  }
  Caller again = Call(service_.port(), "127.0.0.1", "HOG5");
  EXPECT_TRUE(again.accepted);
  // The refusals are counted by the bound they hit; health checks
  // meanwhile count nowhere.
  EXPECT_EQ(Get("/health/ready").status, 200);
  std::map<std::string, double> samples = Samples();
  EXPECT_EQ(samples["vantor_associations_total{outcome=\"address\"}"], 1);
  EXPECT_EQ(samples["vantor_associations_total{outcome=\"ae_title\"}"], 1);
  EXPECT_EQ(samples["vantor_associations_total{outcome=\"accepted\"}"], 11);
  EXPECT_EQ(samples["vantor_associations_open{}"], 10);
  EXPECT_EQ(service_.ErrorLog(), "");
}

// The pages a balancer asks for, and the counters after known traffic.
TEST_F(OpsE2eTest, HealthAndMetricsFollowTheTraffic) {
  StartService({});
  EXPECT_EQ(Get("/health/live").status, 200);
  Answer ready = Get("/health/ready");
  EXPECT_EQ(ready.status, 200) << ready.body;
  // Only the pages, and only to read.
  EXPECT_EQ(Get("/dicom-web/studies").status, 404);
  EXPECT_EQ(Get("/metrics", "POST").status, 405);

  for (int i = 0; i < 2; ++i) {
    ToolResult echo = RunDcmtkTool(
        "echoscu", {"-aet", "ECHOSCU", "127.0.0.1", service_.port_text()});
    ASSERT_EQ(echo.exit_code, 0) << echo.output;
  }
  std::vector<std::string> store = {"-aet", "STORESCU", "127.0.0.1",
                                    service_.port_text()};
  uint64_t stored_bytes = 0;
  for (int i = 1; i <= 3; ++i) {
    TestImage image;
    image.sop_instance_uid = "1.2.826.0.1.3680043.9.30.1." + std::to_string(i);
    const std::string path = work_.path() + "/" + std::to_string(i) + ".dcm";
    WriteTestImage(path, image);
    store.push_back(path);
    stored_bytes += fs::file_size(path);
  }
  ToolResult sent = RunDcmtkTool("storescu", store);
  ASSERT_EQ(sent.exit_code, 0) << sent.output;

  ToolResult find = RunDcmtkTool(
      "findscu", {"-S", "-aet", "FINDSCU", "-k", "QueryRetrieveLevel=STUDY",
                  "-k", "StudyInstanceUID", "127.0.0.1", service_.port_text()});
  ASSERT_EQ(find.exit_code, 0) << find.output;

  std::map<std::string, double> samples = Samples();
  EXPECT_EQ(samples["vantor_associations_total{outcome=\"accepted\"}"], 4);
  EXPECT_EQ(
      samples["vantor_dimse_requests_total{command=\"C-FIND\",status=\"0000\"}"],
      1);
  EXPECT_EQ(samples["vantor_associations_open{}"], 0);
  EXPECT_EQ(
      samples["vantor_dimse_requests_total{command=\"C-ECHO\",status=\"0000\"}"],
      2);
  EXPECT_EQ(
      samples["vantor_dimse_requests_total{command=\"C-STORE\",status=\"0000\"}"],
      3);
  EXPECT_EQ(samples["vantor_dimse_duration_seconds_count{command=\"C-STORE\"}"],
            3);
  EXPECT_EQ(samples["vantor_images_received_total{}"], 3);
  // The datasets without their files' meta headers and preambles.
  EXPECT_GT(samples["vantor_received_bytes_total{}"], 0);
  EXPECT_LT(samples["vantor_received_bytes_total{}"], stored_bytes);
  EXPECT_EQ(samples["vantor_incoming_files{}"] >= 3, true);
  EXPECT_GT(samples["vantor_incoming_free_bytes{}"], 0);
  // The query ran on the database.
  EXPECT_GT(samples["vantor_database_statements_total{outcome=\"run\"}"], 0);
  EXPECT_EQ(samples["vantor_database_statements_total{outcome=\"failed\"}"], 0);

  // An archive that does not answer: not ready, still live; back: ready.
  archive_.TakeAway();
  Answer away = Get("/health/ready");
  EXPECT_EQ(away.status, 503);
  EXPECT_THAT(away.body, HasSubstr("database"));
  EXPECT_EQ(Get("/health/live").status, 200);
  archive_.PutBack();
  EXPECT_EQ(Get("/health/ready").status, 200);
}

}  // namespace
}  // namespace vantor
