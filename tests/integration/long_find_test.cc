// A C-FIND over 20,000 studies against the running service, on SQLite and
// on PostgreSQL: the responses leave while the rows are read, so that a
// findscu that cancels after its first response ends the query before the
// statement is read to its end, with the Cancel status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"
#include "tests/support/test_env.h"

// The archive rows are written with designated initializers that leave the
// other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vantor {
namespace {

using ::testing::HasSubstr;

constexpr int kStudies = 20000;

// How often `needle` occurs in `text`.
int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

// The end of a long tool output, for failure messages.
std::string Tail(const std::string& text) {
  return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

class LongFindTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    const int64_t patient =
        archive_.AddPatient({.patient_id = "P1", .last_name = "Long"});
    archive_.Exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
        "WHERE i < " +
        std::to_string(kStudies) +
        ") INSERT INTO tblStudies (StudyUID, FKeyPatID, KeyStudy) SELECT "
        "'1.2.826.0.1.3680043.10.' || i, " +
        std::to_string(patient) + ", 0 FROM n");
    archive_.AddNode("FINDSCU", "127.0.0.1");
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  ToolResult Find(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"-v", "-S", "-aet", "FINDSCU"};
    args.insert(args.end(), options.begin(), options.end());
    for (const char* key :
         {"QueryRetrieveLevel=STUDY", "PatientID=P1", "StudyInstanceUID"}) {
      args.push_back("-k");
      args.push_back(key);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool("findscu", args, std::chrono::seconds(120));
  }

  // The count of the service's "<n> datasets sent to FINDSCU/..." line, once
  // it is written; -1 when it is not.
  int DatasetsSent() {
    const std::string line = "datasets sent to FINDSCU/127.0.0.1";
    if (!service_.WaitForLog("DebugVantor" + service_.port_text() + ".log",
                             line))
      return -1;
    std::smatch m;
    const std::string log = service_.DebugLog();
    if (!std::regex_search(log, m, std::regex("\t([0-9]+) " + line))) return -1;
    return std::stoi(m[1]);
  }

  FixtureArchive archive_{GetParam()};
  ServiceProcess service_;
};

INSTANTIATE_TEST_SUITE_P(Archive, LongFindTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(LongFindTest, ACancelAfterTheFirstResponseEndsTheQueryEarly) {
  ToolResult find = Find({"--cancel", "1"});
  ASSERT_FALSE(find.timed_out) << service_.Describe();
  EXPECT_THAT(find.output, HasSubstr("Received Final Find Response (Cancel"))
      << Tail(find.output) << service_.Describe();
  const int received = Count(find.output, "(Pending)");
  EXPECT_GE(received, 1);
  EXPECT_LT(received, kStudies);
  // The service stopped reading: it made fewer responses than there are
  // rows, and at least those that arrived.
  const int sent = DatasetsSent();
  EXPECT_GE(sent, received) << service_.DebugLog().substr(0, 4000);
  EXPECT_LT(sent, kStudies);
  EXPECT_EQ(service_.ErrorLog(), "");
}

TEST_P(LongFindTest, WithoutCancelEveryStudyArrives) {
  ToolResult find = Find({});
  ASSERT_FALSE(find.timed_out) << service_.Describe();
  EXPECT_EQ(find.exit_code, 0) << Tail(find.output);
  EXPECT_EQ(Count(find.output, "(Pending)"), kStudies);
  EXPECT_EQ(Count(find.output, "Received Final Find Response (Success)"), 1);
  for (int i : {1, kStudies / 2, kStudies})
    EXPECT_EQ(Count(find.output,
                    "[1.2.826.0.1.3680043.10." + std::to_string(i) + "]"),
              1)
        << i;
  EXPECT_EQ(DatasetsSent(), kStudies);
}

}  // namespace
}  // namespace vantor
