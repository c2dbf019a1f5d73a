// Storage Commitment against the running service, with a requester from
// another stack (dcmjs-dimse under Node.js, tests/commitment/commit.js,
// installed by scripts/setup.sh): the report on the requester's own
// association, on an association the service opens to the node, the
// refusals, and the service with the switch off.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

using std::chrono::seconds;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kCtClass[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kMrClass[] = "1.2.840.10008.5.1.4.1.1.4";
constexpr char kStoredUid[] = "1.2.826.0.1.3680043.9.41.1";
constexpr char kArchivedUid[] = "1.2.826.0.1.3680043.9.41.2";
constexpr char kUnknownUid[] = "1.2.826.0.1.3680043.9.41.99";
constexpr char kTransaction[] = "1.2.826.0.1.3680043.9.41.500";

std::string ClientDir() {
  return std::string(VANTOR_SOURCE_DIR) + "/tests/commitment";
}

// Why the Node.js requester cannot run here, "" when it can.
std::string ClientMissing() {
  if (::access("/usr/bin/node", X_OK) != 0)
    return "Node.js (/usr/bin/node) is not installed: run scripts/setup.sh";
  if (::access((ClientDir() + "/node_modules/dcmjs-dimse/package.json").c_str(),
               R_OK) != 0)
    return "dcmjs-dimse is not installed in tests/commitment: run "
           "scripts/setup.sh (npm ci there)";
  return "";
}

std::string Ref(const std::string& sop_class, const std::string& uid) {
  return sop_class + ":" + uid;
}

// What the requester printed for a reference of the report.
std::string Referenced(const std::string& sop_class, const std::string& uid) {
  return "{\"sopClass\":\"" + sop_class + "\",\"sopInstance\":\"" + uid + "\"}";
}
std::string Failed(const std::string& sop_class, const std::string& uid,
                   int reason) {
  return "{\"sopClass\":\"" + sop_class + "\",\"sopInstance\":\"" + uid +
         "\",\"reason\":" + std::to_string(reason) + "}";
}

class CommitmentTest : public ::testing::Test {
 protected:
  explicit CommitmentTest(ArchiveBackend backend = ArchiveBackend::kSqlite)
      : archive_(backend) {}

  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    const std::string missing = ClientMissing();
    // CI installs the requester; a machine without it fails, saying why.
    ASSERT_EQ(missing, "");
    client_port_ = FreeLoopbackPort();
    archive_.AddNode("MODALITY", "127.0.0.1", false, false, false, client_port_,
                     "MODALITY");
    archive_.AddNode("STOREONLY", "127.0.0.1", false, false, true);
    FixtureArchive::Patient patient;
    patient.patient_id = "P41";
    const int64_t study = archive_.AddStudy(archive_.AddPatient(patient), {});
    FixtureArchive::Image image;
    image.image_uid = kArchivedUid;
    image.sop_class_uid = kCtClass;
    archive_.AddImage(archive_.AddSeries(study, {}), image);
  }

  void Start(bool commitment, const RegValues& more = {}) {
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.instance_values = {{"AET", "VANTOR"}};
    if (commitment)
      options.instance_values.push_back({"StorageCommitment", "1"});
    options.instance_values.insert(options.instance_values.end(), more.begin(),
                                   more.end());
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  // Stores kStoredUid with DCMTK's storescu as MODALITY.
  void StoreImage() {
    TestImage image;
    image.sop_instance_uid = kStoredUid;
    image.sop_class_uid = kCtClass;
    const std::string file = archive_.dir() + "/stored.dcm";
    WriteTestImage(file, image);
    ToolResult store = RunDcmtkTool("storescu",
                                    {"-aet", "MODALITY", "-aec", "VANTOR",
                                     "127.0.0.1", service_.port_text(), file},
                                    seconds(60));
    ASSERT_EQ(store.exit_code, 0) << store.output << service_.Describe();
  }

  ToolResult Commit(const std::string& mode, const std::string& aet,
                    const std::vector<std::string>& refs,
                    const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {ClientDir() + "/commit.js",
                                     "--host",
                                     "127.0.0.1",
                                     "--port",
                                     service_.port_text(),
                                     "--aet",
                                     aet,
                                     "--called",
                                     "VANTOR",
                                     "--mode",
                                     mode,
                                     "--transaction",
                                     kTransaction,
                                     "--listen-port",
                                     std::to_string(client_port_),
                                     "--timeout",
                                     "20000"};
    for (const std::string& r : refs) {
      args.push_back("--ref");
      args.push_back(r);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return RunDcmtkTool("/usr/bin/node", args, seconds(60), ClientDir());
  }

  std::string MessageLog() {
    return service_.ReadLog("Message" + service_.port_text() + ".log");
  }
  std::string ActionLog() {
    return service_.ReadLog("Action" + service_.port_text() + ".log");
  }

  FixtureArchive archive_;
  ServiceProcess service_;
  int client_port_ = 0;
};

TEST_F(CommitmentTest, ReportOnTheRequestersAssociation) {
  Start(true);
  StoreImage();
  ToolResult r = Commit("same", "MODALITY",
                        {Ref(kCtClass, kStoredUid), Ref(kCtClass, kArchivedUid),
                         Ref(kCtClass, kUnknownUid), Ref(kCtClass, "1.2..3")});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"actionStatus\":0,")) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"via\":\"same\",\"eventTypeId\":2,"));
  EXPECT_THAT(r.output,
              HasSubstr("\"sopClass\":\"1.2.840.10008.1.20.1\","
                        "\"sopInstance\":\"1.2.840.10008.1.20.1.1\""));
  EXPECT_THAT(r.output, HasSubstr(std::string("\"transactionUid\":\"") +
                                  kTransaction + "\""));
  EXPECT_THAT(r.output, HasSubstr("\"retrieveAet\":\"VANTOR\""));
  EXPECT_THAT(r.output,
              HasSubstr("\"referenced\":[" + Referenced(kCtClass, kStoredUid) +
                        "," + Referenced(kCtClass, kArchivedUid) + "]"));
  // 0x0112: no such object instance.
  EXPECT_THAT(r.output,
              HasSubstr("\"failed\":[" + Failed(kCtClass, kUnknownUid, 0x0112) +
                        "," + Failed(kCtClass, "1.2..3", 0x0112) + "]"));
  EXPECT_THAT(r.output, Not(HasSubstr("\"via\":\"new\"")));
  EXPECT_THAT(r.output, HasSubstr("\"released\""));
  EXPECT_THAT(service_.DebugLog(),
              HasSubstr("Storage commitment request from MODALITY/127.0.0.1: "
                        "transaction " +
                        std::string(kTransaction) + ", 4 referenced"));
  EXPECT_THAT(service_.DebugLog(),
              HasSubstr("SELECT ImageUID, SOPClassUID FROM tblImages WHERE "
                        "ImageUID = '" +
                        std::string(kArchivedUid) + "'"));
  EXPECT_THAT(ActionLog(), HasSubstr("\tN-ACTION\t"));
  EXPECT_EQ(service_.ErrorLog(), "");
}

TEST_F(CommitmentTest, ReportOnANewAssociationWhenTheRequesterReleased) {
  Start(true);
  StoreImage();
  ToolResult r = Commit("new", "MODALITY", {Ref(kCtClass, kStoredUid)});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"actionStatus\":0,")) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"via\":\"new\",\"eventTypeId\":1,"))
      << r.output << service_.Describe();
  EXPECT_THAT(r.output,
              HasSubstr("\"referenced\":[" + Referenced(kCtClass, kStoredUid) +
                        "],\"failed\":[]"));
  // Called as the node's CallingAET, calling as our own AE title.
  EXPECT_THAT(
      r.output,
      HasSubstr("\"callingAet\":\"VANTOR\",\"calledAet\":\"MODALITY\""));
  EXPECT_THAT(r.output, Not(HasSubstr("\"via\":\"same\"")));
  EXPECT_TRUE(service_.WaitForLog(
      "DebugVantor" + service_.port_text() + ".log",
      "delivered to MODALITY (127.0.0.1:" + std::to_string(client_port_) +
          ") on attempt 1"))
      << service_.Describe();
  EXPECT_EQ(service_.ErrorLog(), "");
}

// With the work queued in the archive database, a report whose requester
// released goes through tblCommitmentJobs and reaches the requester from a
// worker (any front's).
class QueuedCommitmentTest : public CommitmentTest {
 protected:
  QueuedCommitmentTest() : CommitmentTest(ArchiveBackend::kPostgres) {}
};

TEST_F(QueuedCommitmentTest, AReportWhoseRequesterReleasedGoesThroughTheQueue) {
  Start(true, {{"JobQueue", "database"}});
  StoreImage();
  ToolResult r = Commit("new", "MODALITY",
                        {Ref(kCtClass, kStoredUid), Ref(kCtClass, kUnknownUid)});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"via\":\"new\",\"eventTypeId\":2,"))
      << r.output << service_.Describe();
  EXPECT_THAT(r.output,
              HasSubstr("\"referenced\":[" + Referenced(kCtClass, kStoredUid) +
                        "],\"failed\":[" +
                        Failed(kCtClass, kUnknownUid, 0x0112) + "]"));
  EXPECT_TRUE(service_.WaitForLog(
      "DebugVantor" + service_.port_text() + ".log",
      "delivered to MODALITY (127.0.0.1:" + std::to_string(client_port_) +
          ") on attempt 1"))
      << service_.Describe();
  EXPECT_THAT(service_.DebugLog(),
              HasSubstr(std::string("Storage commitment report ") +
                        kTransaction + " queued as job "));
  const ResultSet rows =
      archive_.Query("SELECT State, Progress FROM tblCommitmentJobs");
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.Get(0, "State").ToText(), "done");
  EXPECT_EQ(service_.ErrorLog(), "");
}

TEST_F(CommitmentTest, ClassConflictIsReportedFailed) {
  Start(true);
  ToolResult r = Commit("same", "MODALITY", {Ref(kMrClass, kArchivedUid)});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // 0x0119: class / instance conflict.
  EXPECT_THAT(r.output, HasSubstr("\"failed\":[" +
                                  Failed(kMrClass, kArchivedUid, 0x0119) + "]"))
      << r.output;
}

// Callers the node table does not let query are refused with 0124; the
// service stays up for the next request.
TEST_F(CommitmentTest, UnknownAndStoreOnlyCallersAreRefused) {
  Start(true);
  for (const char* aet : {"STRANGER", "STOREONLY"}) {
    SCOPED_TRACE(aet);
    ToolResult r = Commit("same", aet, {Ref(kCtClass, kArchivedUid)});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_THAT(r.output, HasSubstr("\"actionStatus\":292,")) << r.output;
    EXPECT_THAT(r.output, HasSubstr("\"reports\":[]"));
  }
  const std::string errors = service_.ErrorLog();
  EXPECT_THAT(errors,
              HasSubstr("\t0\tUnauthorized storage commitment request "
                        "from STRANGER/127.0.0.1\tStorageCommitment\r\n"));
  EXPECT_THAT(
      errors,
      HasSubstr("\t0\tUnauthorized storage commitment request from "
                "STOREONLY/127.0.0.1 (Store Only)\tStorageCommitment\r\n"));
  EXPECT_THAT(ActionLog(), HasSubstr("\tN-ACTION\t"));
  EXPECT_THAT(ActionLog(), HasSubstr("Status 0124"));
}

TEST_F(CommitmentTest, MalformedRequestsGetTheirFailureStatus) {
  Start(true);
  struct Case {
    std::vector<std::string> refs;
    std::vector<std::string> extra;
    int status;
    const char* why;
  };
  const Case cases[] = {
      {{Ref(kCtClass, kArchivedUid)},
       {"--no-transaction"},
       0x0120,
       "no Transaction UID"},
      {{}, {"--no-sequence"}, 0x0120, "no Referenced SOP Sequence"},
      {{Ref(kCtClass, kArchivedUid)},
       {"--action-type", "2"},
       0x0123,
       "action type 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ToolResult r = Commit("same", "MODALITY", c.refs, c.extra);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_THAT(r.output,
                HasSubstr("\"actionStatus\":" + std::to_string(c.status) + ","))
        << r.output;
    EXPECT_THAT(r.output, HasSubstr("\"reports\":[]"));
    EXPECT_THAT(service_.ErrorLog(),
                HasSubstr("Storage commitment request from MODALITY/127.0.0.1 "
                          "refused with "));
    EXPECT_THAT(service_.ErrorLog(), HasSubstr(c.why));
  }
}

TEST_F(CommitmentTest, SwitchedOffTheRequestIsAnUnsupportedCommand) {
  Start(false);
  // The requester learns of the abort only when its own wait ends.
  ToolResult r = Commit("same", "MODALITY", {Ref(kCtClass, kArchivedUid)},
                        {"--timeout", "4000"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"actionStatus\":null")) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"reports\":[]"));
  EXPECT_TRUE(
      service_.WaitForLog("Message" + service_.port_text() + ".log",
                          ": unsupported command 304"))  // 0x0130, N-ACTION-RQ
      << service_.Describe();
  EXPECT_THAT(service_.DebugLog(), Not(HasSubstr("Storage commitment")));
}

}  // namespace
}  // namespace vantor
