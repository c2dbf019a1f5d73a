// The example deployment of packaging/cluster: two fronts on one PostgreSQL
// archive behind HAProxy, started with its one command. Images stored and
// found through the balancer reach both fronts and one archive; a front
// killed outright costs the callers nothing once the balancer has seen it;
// a front killed in the middle of a C-MOVE leaves the job to the other,
// which sends what was not sent yet, and the requester gets the final
// status.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/base/database.h"
#include "tests/support/pg_server.h"
#include "tests/support/processes.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using std::chrono::seconds;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.78.1";
constexpr char kSeries[] = "1.2.826.0.1.3680043.9.78.1.1";

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size()))
    ++n;
  return n;
}

class FrontsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!fs::exists("/usr/sbin/haproxy") || !PgServer::Available(&why)) {
      if (std::getenv("VANTOR_REQUIRE_POSTGRESQL") == nullptr)
        GTEST_SKIP() << "HAProxy or PostgreSQL missing: " << why;
    }
    // Whoever runs PostgreSQL must reach the folder.
    ::chmod(work_.path().c_str(), 0755);
    for (const char* name :
         {"DICOM_PORT", "FRONT1_PORT", "FRONT2_PORT", "HEALTH1_PORT",
          "HEALTH2_PORT", "PG_PORT", "STATS_PORT"}) {
      const int port = FreeLoopbackPort();
      if (std::string(name) == "DICOM_PORT") dicom_port_ = std::to_string(port);
      if (std::string(name) == "HEALTH1_PORT") health_[0] = port;
      if (std::string(name) == "HEALTH2_PORT") health_[1] = port;
      if (std::string(name) == "PG_PORT") pg_port_ = port;
      env_.push_back(std::string(name) + "=" + std::to_string(port));
    }
    destination_port_ = FreeLoopbackPort();
    env_.push_back(std::string("BUILD=") + VANTOR_BUILD_DIR);
    // A lease of a few seconds, so that a job is taken over soon.
    env_.push_back("SETTINGS=JobQueue=database JobLeaseSeconds=6");
    env_.push_back("NODES=MOVEDEST@127.0.0.1:" +
                   std::to_string(destination_port_));
    ToolResult up = Script("up.sh");
    up_ = up.exit_code == 0;
    ASSERT_TRUE(up_) << up.output << Logs();
  }

  void TearDown() override {
    if (!env_.empty()) {
      ToolResult down = Script("down.sh");
      EXPECT_EQ(down.exit_code, 0) << down.output;
    }
  }

  ToolResult Script(const std::string& name) {
    std::vector<std::string> args = env_;
    args.push_back("/bin/bash");
    args.push_back(std::string(VANTOR_SOURCE_DIR) + "/packaging/cluster/" + name);
    args.push_back(cluster());
    return RunDcmtkTool("/usr/bin/env", args, seconds(180));
  }

  std::string cluster() const { return work_.path() + "/cluster"; }

  std::string Logs() const {
    std::string text;
    for (const char* front : {"front1", "front2"}) {
      const std::string dir = cluster() + "/" + front;
      text += std::string("\n--- ") + front + " ---\n" +
              ReadWholeFile(dir + "/output.log");
      std::error_code ec;
      for (fs::directory_iterator it(dir + "/Logs", ec), end; !ec && it != end;
           it.increment(ec))
        if (it->path().filename().string().rfind("Error", 0) == 0)
          text += ReadWholeFile(it->path().string());
    }
    return text;
  }

  // Images of the study, made once.
  std::vector<std::string> Images(int first, int count) {
    const std::string dir = work_.path() + "/images" + std::to_string(first);
    fs::create_directories(dir);
    ToolResult made = RunDcmtkTool(
        std::string(VANTOR_BUILD_DIR) + "/make-study",
        {"--dir", dir, "--study-uid", kStudy, "--series-uid",
         std::string(kSeries) + "." + std::to_string(first), "--count",
         std::to_string(count), "--rows", "64", "--cols", "64"});
    EXPECT_EQ(made.exit_code, 0) << made.output;
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir))
      files.push_back(entry.path().string());
    return files;
  }

  ToolResult Store(const std::vector<std::string>& files) {
    std::vector<std::string> args = {"-aet", "STORESCU", "127.0.0.1",
                                     dicom_port_};
    args.insert(args.end(), files.begin(), files.end());
    return RunDcmtkTool("storescu", args, seconds(60));
  }

  // The instances of the study the archive knows, asked through the
  // balancer.
  int InstancesFound() {
    ToolResult find = RunDcmtkTool(
        "findscu",
        {"-S", "-aet", "FINDSCU", "-k", "QueryRetrieveLevel=IMAGE", "-k",
         std::string("StudyInstanceUID=") + kStudy, "-k", "SeriesInstanceUID",
         "-k", "SOPInstanceUID", "127.0.0.1", dicom_port_},
        seconds(60));
    return Count(find.output, "(0008,0018)");
  }

  // A front's metric sample, read from its health port.
  double Metric(int front, const std::string& sample) {
    ToolResult page = RunDcmtkTool(
        "/usr/bin/curl",
        {"-s", "--max-time", "10",
         "http://127.0.0.1:" + std::to_string(health_[front]) + "/metrics"});
    const size_t at = page.output.find("\n" + sample + " ");
    if (at == std::string::npos) return -1;
    return std::atof(page.output.c_str() + at + sample.size() + 2);
  }

  // Waits (bounded) until the archive knows `n` instances of the study.
  bool WaitForInstances(int n) {
    for (int i = 0; i < 60; ++i) {
      if (InstancesFound() == n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
  }

  TempFolder work_{"fronts"};
  std::vector<std::string> env_;
  std::string dicom_port_;
  int health_[2] = {0, 0};
  int pg_port_ = 0;
  int destination_port_ = 0;
  bool up_ = false;
};

TEST_F(FrontsE2eTest, TwoFrontsServeOneArchiveAndOneMayDie) {
  // Eight associations of three images: the balancer takes turns.
  const std::vector<std::string> files = Images(1, 24);
  for (size_t i = 0; i < files.size(); i += 3) {
    ToolResult sent = Store({files[i], files[i + 1], files[i + 2]});
    ASSERT_EQ(sent.exit_code, 0) << sent.output << Logs();
  }
  ASSERT_TRUE(WaitForInstances(24)) << InstancesFound() << Logs();
  // Both fronts received into one incoming folder: each image was taken
  // into the archive once, by one of them, and none is left there.
  auto imported = [&] {
    return Metric(0, "vantor_images_imported") +
           Metric(1, "vantor_images_imported");
  };
  for (int i = 0; i < 50 && imported() < 24; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(imported(), 24) << Logs();
  size_t left = 0;
  for (const auto& entry : fs::directory_iterator(cluster() + "/incoming"))
    if (entry.path().extension() == ".dcm") ++left;
  EXPECT_EQ(left, 0u);
  const double first = Metric(0, "vantor_images_received_total");
  const double second = Metric(1, "vantor_images_received_total");
  EXPECT_GT(first, 0);
  EXPECT_GT(second, 0);
  EXPECT_EQ(first + second, 24);

  // One front ends without a word; every caller after it is served by the
  // other, and what was stored stays found.
  const std::string pid_text =
      ReadWholeFile(cluster() + "/front1/vantor.pid");
  const pid_t pid = std::atoi(pid_text.c_str());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  const std::vector<std::string> later = Images(2, 6);
  for (const std::string& file : later) {
    ToolResult sent = Store({file});
    EXPECT_EQ(sent.exit_code, 0) << sent.output;
  }
  EXPECT_TRUE(WaitForInstances(30)) << InstancesFound() << Logs();
  EXPECT_EQ(Metric(1, "vantor_images_received_total"), second + 6);
}

// The SOP Instance UIDs of the files in `dir`, each as often as it came.
std::vector<std::string> InstancesIn(const std::string& dir) {
  std::vector<std::string> uids;
  for (const auto& entry : fs::directory_iterator(dir)) {
    DcmFileFormat file;
    if (file.loadFile(entry.path().c_str()).bad()) continue;
    OFString uid;
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    uids.emplace_back(uid.c_str());
  }
  return uids;
}

// A field of the last C-MOVE response movescu -d printed.
std::string LastResponse(const ToolResult& move, const std::string& field) {
  const size_t at = move.output.rfind("D: " + field);
  if (at == std::string::npos) return "";
  const size_t colon = move.output.find(": ", at + 3 + field.size());
  const size_t end = move.output.find('\n', colon);
  return move.output.substr(colon + 2, end - colon - 2);
}

TEST_F(FrontsE2eTest, AFrontKilledInTheMiddleOfAMoveLeavesTheJobToTheOther) {
  const std::vector<std::string> files = Images(1, 50);
  for (size_t i = 0; i < files.size(); i += 10) {
    ToolResult sent = Store(std::vector<std::string>(
        files.begin() + static_cast<long>(i),
        files.begin() + static_cast<long>(i + 10)));
    ASSERT_EQ(sent.exit_code, 0) << sent.output << Logs();
  }
  ASSERT_TRUE(WaitForInstances(50)) << InstancesFound() << Logs();

  // The requester's front queues the job and carries out none itself, so
  // that it lives through the kill and answers its requester.
  ServiceProcess requester;
  ServiceProcess::Options options;
  options.db_server = "odbc:DSN=vantor";
  options.environment = {"ODBCINI=" + cluster() + "/odbc.ini"};
  options.instance_values = {{"JobQueue", "database"},
                             {"JobLeaseSeconds", "6"},
                             {"MoveWorkers", "0"}};
  ASSERT_TRUE(requester.Start(options)) << requester.Describe();

  // A destination that takes a second per image, so that the kill comes in
  // the middle.
  const std::string received = work_.path() + "/received";
  fs::create_directories(received);
  const std::string port = std::to_string(destination_port_);
  auto slow = std::make_unique<Background>(std::vector<std::string>{
      "/usr/bin/storescp", "--sleep-after", "1", "-uf", "-od", received,
      "-aet", "MOVEDEST", port});
  for (int i = 0; i < 100 && !IsListening(destination_port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  ToolResult move;
  std::thread asking([&] {
    move = RunDcmtkTool(
        "movescu",
        {"-d", "-S", "-aet", "MOVESCU", "-aem", "MOVEDEST", "-k",
         "QueryRetrieveLevel=STUDY", "-k",
         std::string("StudyInstanceUID=") + kStudy, "127.0.0.1",
         requester.port_text()},
        seconds(300));
  });

  // The front that took the job, once three images have gone.
  Database db;
  db.Open("Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" +
          std::to_string(pg_port_) +
          ";Database=vantor;Username=postgres;BoolsAsChar=0");
  std::string owner;
  for (int i = 0; i < 600 && owner.empty(); ++i) {
    ResultSet rows = db.Query("SELECT Owner, Progress FROM tblMoveJobs");
    if (!rows.empty() && rows.Get(0, "Progress").ToText().find(
                             "Completed=3") != std::string::npos)
      owner = rows.Get(0, "Owner").ToText();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (owner.empty()) {
    asking.join();
    FAIL() << "no front sent three images\n" << move.output << Logs()
           << requester.Describe();
  }
  const pid_t front = std::atoi(owner.substr(owner.rfind(':') + 1).c_str());
  const std::vector<pid_t> senders = ChildrenNamed(front, "vantor-send", false);
  EXPECT_EQ(senders.size(), 1u);
  ASSERT_EQ(::kill(front, SIGKILL), 0);
  // Its sender ends with it, after the image on the wire.
  for (pid_t sender : senders)
    for (int i = 0; i < 200 && ::kill(sender, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The destination takes the rest at full speed (well within the lease).
  slow.reset();
  for (int i = 0; i < 100 && IsListening(destination_port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Background fast({"/usr/bin/storescp", "-uf", "-od", received, "-aet",
                   "MOVEDEST", port});
  for (int i = 0; i < 100 && !IsListening(destination_port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  asking.join();
  // Every image arrived, none twice but the one on the wire at the kill.
  std::vector<std::string> uids = InstancesIn(received);
  std::set<std::string> distinct(uids.begin(), uids.end());
  EXPECT_EQ(distinct.size(), 50u) << move.output;
  EXPECT_LE(uids.size(), 51u);
  // The requester heard the end from the front that finished the job.
  EXPECT_EQ(LastResponse(move, "DIMSE Status").substr(0, 6), "0x0000")
      << move.output << requester.Describe();
  EXPECT_EQ(LastResponse(move, "Completed Suboperations"), "50") << move.output;
  EXPECT_EQ(LastResponse(move, "Failed Suboperations"), "0");
  ResultSet row = db.Query("SELECT State, Owner, Attempts FROM tblMoveJobs");
  ASSERT_EQ(row.rows.size(), 1u);
  EXPECT_EQ(row.Get(0, "State").ToText(), "done");
  EXPECT_NE(row.Get(0, "Owner").ToText(), owner);
  EXPECT_EQ(row.Get(0, "Attempts").ToText(), "2");
}

}  // namespace
}  // namespace vantor
