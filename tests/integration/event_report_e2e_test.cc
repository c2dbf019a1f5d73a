// Event reports sent with vantor-event to the running service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"

namespace vantor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kUid[] = "1.2.826.0.1.3680043.9.7";

// Two archives of the same backend: SQLite files, or PostgreSQL databases.
class EventReportE2eTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(first_);
    for (FixtureArchive* a : {&first_, &second_}) {
      FixtureArchive::Patient patient;
      patient.patient_id = "P1";
      FixtureArchive::Study study;
      study.study_uid = kUid;
      a->AddStudy(a->AddPatient(patient), study);
    }
    // The node table of DBServer authorises the callers.
    first_.AddNode("VANTOR-EVENT", "127.0.0.1");
    first_.AddNode("STOREONLY", "127.0.0.1", false, false, true);
    ServiceProcess::Options options;
    options.db_server = first_.DBServer();
    options.instance_values = {
        {"EventServers", first_.DBServer() + "; " + second_.DBServer()}};
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  ToolResult Send(const std::vector<std::string>& options,
                  const std::string& aet = "VANTOR-EVENT") {
    std::vector<std::string> args = {"--aet", aet};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool(std::string(VANTOR_BUILD_DIR) + "/vantor-event", args);
  }
  static std::string Study(FixtureArchive& a, const std::string& column) {
    return a
        .Query("SELECT " + column + " FROM tblStudies WHERE StudyUID = '" +
               kUid + "'")
        .rows.at(0)
        .at(0)
        .ToText();
  }

  FixtureArchive first_{GetParam()};
  FixtureArchive second_{GetParam()};
  ServiceProcess service_;
};

INSTANTIATE_TEST_SUITE_P(Archive, EventReportE2eTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(EventReportE2eTest, RenamerWithdrawsTheStudyOnBothArchives) {
  ToolResult r = Send({"--command", "RENAMER", "--servers",
                       first_.DBServer() + ";" + second_.DBServer(),
                       "--renamer-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0000"));
  EXPECT_EQ(Study(first_, "FKeyStatusID"), "-1");
  EXPECT_EQ(Study(second_, "FKeyStatusID"), "-1");
  EXPECT_THAT(service_.DebugLog(),
              HasSubstr("\tSQL Server: " + second_.DBServer() + "\t\r\n"));
  EXPECT_EQ(service_.ErrorLog(), "");
}

TEST_P(EventReportE2eTest, AFailedServerIsReportedAndTheOthersUpdated) {
  // The second archive is gone: it is not created, the first is updated.
  second_.TakeAway();
  ToolResult r = Send({"--command", "renamer", "--servers",
                       second_.DBServer() + ";" + first_.DBServer(),
                       "--renamer-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0110"));
  EXPECT_EQ(Study(first_, "FKeyStatusID"), "-1");
  EXPECT_FALSE(second_.Present());
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("\tDCMServer EventReport UPDATE_ERROR\r\n"));
}

// Callers that the node table does not let query are refused with 0124 and
// change nothing: one not registered at all, and a store-only node.
TEST_P(EventReportE2eTest, UnknownAndStoreOnlyCallersAreRefused) {
  for (const char* aet : {"STRANGER", "STOREONLY"}) {
    SCOPED_TRACE(aet);
    ToolResult r = Send({"--command", "RENAMER", "--servers", first_.DBServer(),
                         "--renamer-uid", kUid},
                        aet);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_THAT(r.output, HasSubstr("Status: 0124"));
    r = Send({"--command", "KEYSTUDY", "--key-study", "1", "--study-uid", kUid},
             aet);
    EXPECT_THAT(r.output, HasSubstr("Status: 0124"));
  }
  EXPECT_EQ(Study(first_, "FKeyStatusID"), "");
  EXPECT_EQ(Study(first_, "KeyStudy"), "0");
  const std::string errors = service_.ErrorLog();
  EXPECT_THAT(errors,
              HasSubstr("\t0\tUnauthorized event report from "
                        "STRANGER/127.0.0.1\tDCMServer EventReport\r\n"));
  EXPECT_THAT(errors, HasSubstr("\t0\tUnauthorized event report from "
                                "STOREONLY/127.0.0.1 (Store Only)\tDCMServer "
                                "EventReport\r\n"));
}

// A registered caller may name only the servers of EventServers: others are
// not connected to (an sqlite: path is not created), and the report fails;
// the allowed ones are still updated.
TEST_P(EventReportE2eTest, ServersOutsideTheAllowListAreNotConnectedTo) {
  const std::string made = second_.dir() + "/made-by-caller.db";
  ToolResult r =
      Send({"--command", "RENAMER", "--servers",
            "sqlite:" + made + ";KELMORA-EVIL; " + second_.DBServer() + " ",
            "--renamer-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0110"));
  EXPECT_FALSE(std::filesystem::exists(made));
  // Matched once blanks are trimmed on both sides.
  EXPECT_EQ(Study(second_, "FKeyStatusID"), "-1");
  EXPECT_EQ(Study(first_, "FKeyStatusID"), "");
  const std::string errors = service_.ErrorLog();
  EXPECT_THAT(errors, HasSubstr("\tServer not allowed for event reports: "
                                "sqlite:" +
                                made +
                                "\tDCMServer EventReport "
                                "UPDATE_ERROR\r\n"));
  EXPECT_THAT(errors, HasSubstr("\tServer not allowed for event reports: "
                                "KELMORA-EVIL\t"));
  EXPECT_THAT(service_.DebugLog(), Not(HasSubstr("SQL Server: KELMORA-EVIL")));
  EXPECT_THAT(service_.DebugLog(),
              Not(HasSubstr("SQL Server: sqlite:" + made)));
}

TEST_P(EventReportE2eTest, KeyStudyMarksTheStudyOnDBServer) {
  ToolResult r =
      Send({"--command", "KEYSTUDY", "--key-study", "1", "--study-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0000"));
  EXPECT_EQ(Study(first_, "KeyStudy"), "1");
  EXPECT_EQ(Study(second_, "KeyStudy"), "0");

  r = Send({"--command", "KEYSTUDY", "--key-study", "2 OR 1=1", "--study-uid",
            kUid});
  EXPECT_THAT(r.output, HasSubstr("Status: 0110"));
  EXPECT_EQ(Study(first_, "KeyStudy"), "1");
}

TEST_P(EventReportE2eTest, OtherEventIdsOnlyLog) {
  ToolResult r = Send({"--event-id", "9", "--command", "RENAMER", "--servers",
                       first_.DBServer(), "--renamer-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0000"));
  EXPECT_EQ(Study(first_, "FKeyStatusID"), "");
  EXPECT_THAT(service_.DebugLog(), HasSubstr("\tEventReport ID 9\t\r\n"));
}

}  // namespace
}  // namespace vantor
