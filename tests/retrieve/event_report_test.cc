#include "retrieve/event_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "dicom/node_registry.h"
#include "host/base/config.h"
#include "host/base/connection_pool.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(EventReportStatementTest, ValuesAreQuoted) {
  EXPECT_EQ(RenamerStatement("1.2.3"),
            "UPDATE tblstudies SET FkeyStatusID = -1 WHERE StudyUID = '1.2.3'");
  EXPECT_EQ(RenamerStatement("1'; DROP TABLE tblStudies; --"),
            "UPDATE tblstudies SET FkeyStatusID = -1 WHERE StudyUID = "
            "'1''; DROP TABLE tblStudies; --'");
  EXPECT_EQ(KeyStudyStatement("1", "1.2'3"),
            "UPDATE tblstudies set KeyStudy = 1 WHERE StudyUID = '1.2''3'");
}

TEST(EventReportStatementTest, ServerListAndWholeNumbers) {
  EXPECT_THAT(SplitServerList(""), IsEmpty());
  EXPECT_THAT(SplitServerList("A"), ElementsAre("A"));
  EXPECT_THAT(SplitServerList("A; B;;C "), ElementsAre("A", " B", "", "C "));
  EXPECT_THAT(SplitServerList("A;"), ElementsAre("A", ""));
  for (const char* good : {"0", "1", "-1", "+7", "123456789012345678"})
    EXPECT_TRUE(IsWholeNumber(good)) << good;
  for (const char* bad :
       {"", "-", "1.5", "1 OR 1=1", "0x1", "1e3", "1234567890123456789", " 1"})
    EXPECT_FALSE(IsWholeNumber(bad)) << bad;
}

FixtureArchive::Patient PatientWithId(const std::string& id) {
  FixtureArchive::Patient patient;
  patient.patient_id = id;
  return patient;
}

FixtureArchive::Study StudyWithUid(const std::string& uid) {
  FixtureArchive::Study study;
  study.study_uid = uid;
  return study;
}

// Two archives for RENAMER; the first is also DBServer for KEYSTUDY.
class EventReportTest : public ::testing::Test {
 protected:
  static constexpr char kUid[] = "1.2.826.0.1.42";
  static constexpr char kCaller[] = "EVENTSCU";

  void SetUp() override {
    config_.DCM = 105;
    config_.Debug = true;
    config_.DBServer = first_.DBServer();
    config_.EventServers = {first_.DBServer(), second_.DBServer()};
    // The caller is a node of DBServer's node table.
    first_.AddNode(kCaller, "127.0.0.1");
    for (FixtureArchive* a : {&first_, &second_}) {
      int64_t patient = a->AddPatient(PatientWithId("P1"));
      a->AddStudy(patient, StudyWithUid(kUid));
      a->AddStudy(patient, StudyWithUid("1.2.826.0.1.43"));
    }
    fs::remove(Log("Error"));
    fs::remove(Log("Debug"));
  }

  static std::string Log(const std::string& kind) {
    return TestProgramDir() + "/Logs/" + kind + "Vantor105.log";
  }
  static std::string Read(const std::string& kind) {
    return ReadWholeFile(Log(kind));
  }
  // The debug log's messages, without time stamps.
  static std::vector<std::string> DebugMessages() {
    std::vector<std::string> out;
    std::string text = Read("Debug");
    std::regex line(R"([^\t]*\t([^\r]*)\r\n)");
    for (std::sregex_iterator it(text.begin(), text.end(), line), end;
         it != end; ++it)
      out.push_back((*it)[1]);
    return out;
  }
  // What the caller's lookup on DBServer writes to the debug log.
  static std::vector<std::string> LookupMessages() {
    return {"DB-Connection established\tConOpen",
            "Execute: " + dicom::NodeLookupStatement(kCaller, "127.0.0.1") +
                "\tGetAET",
            "DB-Connection closed\tConClose"};
  }
  static std::vector<std::string> Messages(
      const std::string& first, const std::vector<std::string>& rest) {
    std::vector<std::string> out{first};
    for (const std::string& m : LookupMessages()) out.push_back(m);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  }
  static std::string Column(FixtureArchive& a, const std::string& column,
                            const std::string& uid) {
    ResultSet r = a.Query("SELECT " + column +
                          " FROM tblStudies WHERE StudyUID = '" + uid + "'");
    return r.rows.at(0).at(0).ToText();
  }

  uint16_t Report(uint16_t event_id, const dicom::Dataset& dataset) {
    uint16_t status = dicom::kStatusSuccess;
    dicom::Connection connection;
    connection.calling_aet = std::string(kCaller) + "  ";
    connection.remote_ip = "127.0.0.1";
    DCMServer_EventReport(config_, Log::Of(config_), connection, event_id,
                          dataset, status);
    return status;
  }
  static dicom::Dataset Renamer(const std::string& command,
                                const std::string& servers,
                                const std::string& uid) {
    dicom::Dataset ds;
    ds.Put(0x0019, 0x0010, command);
    ds.Put(0x0019, 0x0020, servers);
    ds.Put(0x0019, 0x0030, uid);
    return ds;
  }

  FixtureArchive first_;
  FixtureArchive second_;
  Config config_;
};

TEST_F(EventReportTest, RenamerUpdatesEveryServerOnItsOwnConnection) {
  const std::string servers = first_.DBServer() + ";" + second_.DBServer();
  EXPECT_EQ(Report(10, Renamer("RENAMER", servers, kUid)),
            dicom::kStatusSuccess);
  EXPECT_EQ(Column(first_, "FKeyStatusID", kUid), "-1");
  EXPECT_EQ(Column(second_, "FKeyStatusID", kUid), "-1");
  EXPECT_EQ(Column(first_, "FKeyStatusID", "1.2.826.0.1.43"), "");
  const std::string sql = RenamerStatement(kUid);
  EXPECT_EQ(DebugMessages(),
            Messages("EventReport ID 10\t",
                     {"EventReport Aktion: RENAMER\t",
                      "Sql-Servers: " + servers + "\t",
                      "StudyUID: " + std::string(kUid) + "\t",
                      "SQL Server: " + first_.DBServer() + "\t",
                      "SQL Command: " + sql + "\t",
                      "SQL Server: " + second_.DBServer() + "\t",
                      "SQL Command: " + sql + "\t"}));
  EXPECT_EQ(Read("Error"), "");
}

// With the service's pool the caller's lookup reuses one connection and
// writes the lines it writes on a connection of its own.
TEST_F(EventReportTest, PooledLookupsLogAsBefore) {
  ConnectionPool pool;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    fs::remove(Log("Debug"));
    uint16_t status = dicom::kStatusSuccess;
    dicom::Connection connection;
    connection.calling_aet = kCaller;
    connection.remote_ip = "127.0.0.1";
    DCMServer_EventReport(config_, Log::Of(config_), connection, 9,
                          dicom::Dataset(), status, &pool);
    EXPECT_EQ(status, dicom::kStatusSuccess);
    EXPECT_EQ(DebugMessages(), Messages("EventReport ID 9\t", {}));
    EXPECT_EQ(pool.IdleCount(), 1u);
  }
  EXPECT_EQ(Read("Error"), "");
}

TEST_F(EventReportTest, AnUnreachableServerIsLoggedAndTheNextUpdated) {
  const std::string missing = "sqlite:/tmp/vantor-no-such-folder/a.db";
  config_.EventServers.push_back(missing);
  const std::string servers = missing + ";" + second_.DBServer();
  // The command word is compared in upper case.
  EXPECT_EQ(Report(10, Renamer("renamer", servers, kUid)),
            dicom::kStatusProcessingFailure);
  EXPECT_EQ(Column(second_, "FKeyStatusID", kUid), "-1");
  const std::string errors = Read("Error");
  EXPECT_THAT(errors, HasSubstr("\tDCMServer EventReport UPDATE_ERROR\r\n"));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

TEST_F(EventReportTest, AnApostropheInTheUidStaysInsideTheLiteral) {
  int64_t patient = first_.AddPatient(PatientWithId("P2"));
  first_.AddStudy(patient, StudyWithUid("1.2'3"));
  EXPECT_EQ(Report(10, Renamer("RENAMER", first_.DBServer(), "1.2'3")),
            dicom::kStatusSuccess);
  EXPECT_EQ(Column(first_, "FKeyStatusID", "1.2''3"), "-1");
  EXPECT_EQ(Column(first_, "FKeyStatusID", kUid), "");
}

TEST_F(EventReportTest, RenamerWithoutStudyIsAnError) {
  dicom::Dataset ds;
  ds.Put(0x0019, 0x0010, "RENAMER");
  ds.Put(0x0019, 0x0020, first_.DBServer());
  EXPECT_EQ(Report(10, ds), dicom::kStatusProcessingFailure);
  EXPECT_THAT(Read("Error"),
              HasSubstr("\tDCMServer EventReport ERROR_HANDLER\r\n"));
  EXPECT_EQ(Column(first_, "FKeyStatusID", kUid), "");
}

TEST_F(EventReportTest, OtherEventsAndCommandsChangeNothing) {
  EXPECT_EQ(Report(9, Renamer("RENAMER", first_.DBServer(), kUid)),
            dicom::kStatusSuccess);
  EXPECT_EQ(DebugMessages(), Messages("EventReport ID 9\t", {}));
  EXPECT_EQ(Report(10, Renamer("RENAME", first_.DBServer(), kUid)),
            dicom::kStatusSuccess);
  EXPECT_EQ(Column(first_, "FKeyStatusID", kUid), "");
  EXPECT_EQ(Read("Error"), "");
}

TEST_F(EventReportTest, KeyStudyMarksTheDatasetsStudyOnDBServer) {
  dicom::Dataset ds;
  ds.Put(0x0019, 0x0010, "KeyStudy");
  ds.Put(0x0019, 0x0011, "1");
  ds.Put(0x0020, 0x000D, kUid);
  EXPECT_EQ(Report(10, ds), dicom::kStatusSuccess);
  EXPECT_EQ(Column(first_, "KeyStudy", kUid), "1");
  EXPECT_EQ(Column(first_, "KeyStudy", "1.2.826.0.1.43"), "0");
  EXPECT_EQ(Column(second_, "KeyStudy", kUid), "0");
  EXPECT_EQ(DebugMessages(),
            Messages("EventReport ID 10\t",
                     {"SQL Command: " + KeyStudyStatement("1", kUid) + "\t"}));
}

TEST_F(EventReportTest, KeyStudyValueMustBeAWholeNumber) {
  dicom::Dataset ds;
  ds.Put(0x0019, 0x0010, "KEYSTUDY");
  ds.Put(0x0019, 0x0011, "1 WHERE 1=1; UPDATE tblStudies SET KeyStudy = 2");
  ds.Put(0x0020, 0x000D, kUid);
  EXPECT_EQ(Report(10, ds), dicom::kStatusProcessingFailure);
  EXPECT_THAT(Read("Error"),
              HasSubstr("\tDCMServer EventReport ERROR_HANDLER\r\n"));
  EXPECT_EQ(Column(first_, "KeyStudy", kUid), "0");
  EXPECT_EQ(Column(first_, "KeyStudy", "1.2.826.0.1.43"), "0");
}

TEST_F(EventReportTest, AFailingKeyStudyUpdateIsReported) {
  // The caller is found, the update then finds no studies table.
  first_.Exec("ALTER TABLE tblStudies RENAME TO tblStudiesGone");
  dicom::Dataset ds;
  ds.Put(0x0019, 0x0010, "KEYSTUDY");
  ds.Put(0x0019, 0x0011, "1");
  ds.Put(0x0020, 0x000D, kUid);
  EXPECT_EQ(Report(10, ds), dicom::kStatusProcessingFailure);
  EXPECT_THAT(Read("Error"),
              HasSubstr("\tDCMServer EventReport ERROR_HANDLER\r\n"));
}

// Without the node table nobody is let in: nothing is changed and the
// report fails.
TEST_F(EventReportTest, AFailedCallerLookupChangesNothing) {
  config_.DBServer = "sqlite:/tmp/vantor-no-such-folder/a.db";
  EXPECT_EQ(Report(10, Renamer("RENAMER", second_.DBServer(), kUid)),
            dicom::kStatusProcessingFailure);
  EXPECT_EQ(Column(second_, "FKeyStatusID", kUid), "");
  EXPECT_THAT(Read("Error"),
              HasSubstr("\tEvent report from EVENTSCU/127.0.0.1 not carried "
                        "out: the caller cannot be looked up\tDCMServer "
                        "EventReport\r\n"));
}

TEST(EventServerAllowListTest, AsWrittenOrTrimmedOnBothSides) {
  const std::vector<std::string> allowed = {"sqlite:/a.db", " KELMORA01 ",
                                            "odbc:DSN=X"};
  EXPECT_EQ(AllowedEventServer("sqlite:/a.db", allowed), "sqlite:/a.db");
  EXPECT_EQ(AllowedEventServer(" KELMORA01 ", allowed), "KELMORA01");
  EXPECT_EQ(AllowedEventServer("KELMORA01", allowed), "KELMORA01");
  EXPECT_EQ(AllowedEventServer("  sqlite:/a.db\t", allowed), "sqlite:/a.db");
  for (const char* refused : {"sqlite:/b.db", "SQLITE:/a.db", "sqlite:/a.db;",
                              "KELMORA0", "", " ", "odbc:DSN=X;UID=sa"})
    EXPECT_EQ(AllowedEventServer(refused, allowed), std::nullopt) << refused;
  EXPECT_EQ(AllowedEventServer("sqlite:/a.db", {}), std::nullopt);
}

}  // namespace
}  // namespace vantor
