// Event reports sent with vantor-event to the running service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"

namespace vantor {
namespace {

using ::testing::HasSubstr;

constexpr char kUid[] = "1.2.826.0.1.3680043.9.7";

class EventReportE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (FixtureArchive* a : {&first_, &second_}) {
      FixtureArchive::Patient patient;
      patient.patient_id = "P1";
      FixtureArchive::Study study;
      study.study_uid = kUid;
      a->AddStudy(a->AddPatient(patient), study);
    }
    ServiceProcess::Options options;
    options.db_server = first_.DBServer();
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  ToolResult Send(const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
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

  FixtureArchive first_;
  FixtureArchive second_;
  ServiceProcess service_;
};

TEST_F(EventReportE2eTest, RenamerWithdrawsTheStudyOnBothArchives) {
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

TEST_F(EventReportE2eTest, AFailedServerIsReportedAndTheOthersUpdated) {
  ToolResult r =
      Send({"--command", "renamer", "--servers",
            "sqlite:/tmp/vantor-no-such-folder/x.db;" + second_.DBServer(),
            "--renamer-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0110"));
  EXPECT_EQ(Study(second_, "FKeyStatusID"), "-1");
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("\tDCMServer EventReport UPDATE_ERROR\r\n"));
}

TEST_F(EventReportE2eTest, KeyStudyMarksTheStudyOnDBServer) {
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

TEST_F(EventReportE2eTest, OtherEventIdsOnlyLog) {
  ToolResult r = Send({"--event-id", "9", "--command", "RENAMER", "--servers",
                       first_.DBServer(), "--renamer-uid", kUid});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Status: 0000"));
  EXPECT_EQ(Study(first_, "FKeyStatusID"), "");
  EXPECT_THAT(service_.DebugLog(), HasSubstr("\tEventReport ID 9\t\r\n"));
}

}  // namespace
}  // namespace vantor
