// The running service answered by DCMTK's own clients: verification,
// association records and logs, and C-FIND on a fixture archive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

std::string RecordFile(const ServiceProcess& s, int number) {
  return ReadWholeFile(s.program_dir() + "/Associations/" + s.port_text() +
                       "/" + std::to_string(number));
}

ToolResult Echo(const ServiceProcess& s, const std::string& aet) {
  return RunDcmtkTool("echoscu",
                      {"-v", "-aet", aet, "127.0.0.1", s.port_text()});
}

TEST(EchoTest, AnsweredWithDebugOnAndLogged) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.Describe();
  ToolResult echo = Echo(service, "ECHOSCU");
  EXPECT_EQ(echo.exit_code, 0) << echo.output;
  EXPECT_THAT(echo.output, HasSubstr("Received Echo Response (Success)"));
  ASSERT_TRUE(service.WaitForLog("DebugVantor" + service.port_text() + ".log",
                                 "Verify received\tVerifyReceived"));
  EXPECT_EQ(RecordFile(service, 1), "ECHOSCU/127.0.0.1\r\n");
  std::string calling =
      service.ReadLog("Calling" + service.port_text() + ".log");
  EXPECT_THAT(calling, HasSubstr("\tECHOSCU\tTrue\t127.0.0.1\t1\tANY-SCP\r\n"))
      << calling;
}

TEST(EchoTest, AnsweredWithDebugOffWithoutLogsButWithRecords) {
  ServiceProcess service;
  ServiceProcess::Options options;
  options.debug = false;
  ASSERT_TRUE(service.Start(options)) << service.Describe();
  EXPECT_EQ(Echo(service, "ECHOSCU").exit_code, 0);
  EXPECT_EQ(Echo(service, "OTHER").exit_code, 0);
  EXPECT_EQ(RecordFile(service, 1), "ECHOSCU/127.0.0.1\r\n");
  EXPECT_EQ(RecordFile(service, 2), "OTHER/127.0.0.1\r\n");
  EXPECT_EQ(service.ReadLog("Calling" + service.port_text() + ".log"), "");
  EXPECT_EQ(service.DebugLog(), "");
  EXPECT_EQ(service.ErrorLog(), "");
}

TEST(EchoTest, TrailingBlanksOfTheCallingTitleAreTrimmedInTheRecord) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.Describe();
  EXPECT_EQ(Echo(service, "ECHO  ").exit_code, 0);
  EXPECT_EQ(RecordFile(service, 1), "ECHO/127.0.0.1\r\n");
}

// A C-FIND service with a small fixture archive and the FINDSCU node, on
// SQLite and on PostgreSQL.
class FindTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override { VANTOR_SKIP_UNLESS_READY(archive_); }

  void StartService(const RegValues& instance_values = {}) {
    FixtureArchive::Patient p{.patient_id = "P1",
                              .last_name = "M\xC3\xBCller",
                              .first_name = "Anna",
                              .birth_date = "1970-05-01",
                              .sex = "F"};
    int64_t patient = archive_.AddPatient(p);
    archive_.AddStudy(patient, {.study_uid = "1.2.826.0.1.1",
                                .study_date = "2024-01-15",
                                .description = "CT Thorax",
                                .modality = "CT"});
    int64_t study = archive_.AddStudy(patient, {.study_uid = "1.2.826.0.1.2",
                                                .study_date = "2024-02-20",
                                                .modality = "MR"});
    int64_t series = archive_.AddSeries(
        study,
        {.series_uid = "1.2.826.0.1.2.1", .series_nr = 3, .modality = "MR"});
    archive_.AddImage(series,
                      {.image_uid = "1.2.826.0.1.2.1.7", .image_nr = 7});
    archive_.AddNode("FINDSCU", "127.0.0.1");
    archive_.AddNode("STOREONLY", "127.0.0.1", false, false, true);
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.instance_values = instance_values;
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  ToolResult Find(const std::string& aet, std::vector<std::string> keys,
                  const std::string& model = "-S") {
    std::vector<std::string> args = {"-v", "-aet", aet, model};
    for (const std::string& k : keys) {
      args.push_back("-k");
      args.push_back(k);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool("findscu", args);
  }

  FixtureArchive archive_{GetParam()};
  ServiceProcess service_;
};

INSTANTIATE_TEST_SUITE_P(Archive, FindTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(FindTest, StudyLevelAnswersOneResponsePerStudy) {
  StartService();
  ToolResult find =
      Find("FINDSCU", {"QueryRetrieveLevel=STUDY", "PatientID=P1",
                       "StudyInstanceUID", "StudyDate", "PatientName"});
  EXPECT_EQ(find.exit_code, 0) << find.output;
  EXPECT_THAT(find.output, HasSubstr("1.2.826.0.1.1"));
  EXPECT_THAT(find.output, HasSubstr("1.2.826.0.1.2"));
  EXPECT_THAT(find.output, HasSubstr("Received Final Find Response (Success)"))
      << find.output << service_.Describe();

  // A study asked for by its UID comes alone.
  find = Find("FINDSCU", {"QueryRetrieveLevel=STUDY",
                          "StudyInstanceUID=1.2.826.0.1.2", "PatientName"});
  EXPECT_THAT(find.output, HasSubstr("1.2.826.0.1.2"));
  EXPECT_THAT(find.output, Not(HasSubstr("1.2.826.0.1.1]")));
  EXPECT_THAT(find.output, HasSubstr("Final Find Response (Success)"))
      << find.output;
}

TEST_P(FindTest, UnknownCallerGetsNoArchiveData) {
  // The refusal's made-up birth date is a DICOM date whatever the archive's
  // date pattern.
  StartService({{"DateFormat", "DD.MM.YYYY"}});
  ToolResult find =
      Find("STRANGER", {"QueryRetrieveLevel=STUDY", "PatientID=P1",
                        "StudyInstanceUID", "PatientBirthDate"});
  EXPECT_THAT(find.output, Not(HasSubstr("1.2.826.0.1.1"))) << find.output;
  EXPECT_THAT(find.output, HasSubstr("Unauthorized access")) << find.output;
  EXPECT_THAT(find.output, ContainsRegex("\\(0010,0030\\) DA \\[[0-9]{8}\\]"))
      << find.output;
}

TEST_P(FindTest, PatientLevelOnPatientRoot) {
  StartService();
  ToolResult find = Find("FINDSCU",
                         {"QueryRetrieveLevel=PATIENT", "PatientName=M*",
                          "PatientID", "PatientBirthDate"},
                         "-P");
  EXPECT_THAT(find.output, HasSubstr("P1")) << find.output;
  EXPECT_THAT(find.output, HasSubstr("Final Find Response (Success)"))
      << find.output;
}

TEST_P(FindTest, SeriesAndImageLevels) {
  StartService();
  ToolResult series =
      Find("FINDSCU", {"QueryRetrieveLevel=SERIES", "PatientID=P1",
                       "StudyInstanceUID=1.2.826.0.1.2", "SeriesInstanceUID",
                       "SeriesNumber"});
  EXPECT_THAT(series.output, HasSubstr("1.2.826.0.1.2.1")) << series.output;
  ToolResult image =
      Find("FINDSCU", {"QueryRetrieveLevel=IMAGE", "PatientID=P1",
                       "StudyInstanceUID=1.2.826.0.1.2",
                       "SeriesInstanceUID=1.2.826.0.1.2.1", "SOPInstanceUID",
                       "RetrieveAETitle"});
  EXPECT_THAT(image.output, HasSubstr("1.2.826.0.1.2.1.7")) << image.output;
  // Asked for, the Retrieve AE Title names the service at every level.
  EXPECT_THAT(image.output, HasSubstr("(0008,0054) AE [Kelmora2000"))
      << image.output;
  ToolResult study = Find("FINDSCU", {"QueryRetrieveLevel=STUDY",
                                      "PatientID=P1", "RetrieveAETitle"});
  EXPECT_THAT(study.output, HasSubstr("(0008,0054) AE [Kelmora2000"))
      << study.output;
}

TEST_P(FindTest, StoreOnlyNodeAndLowerCaseLevelGetNoArchiveData) {
  StartService();
  ToolResult store_only =
      Find("STOREONLY",
           {"QueryRetrieveLevel=STUDY", "PatientID=P1", "StudyInstanceUID"});
  EXPECT_THAT(store_only.output, Not(HasSubstr("1.2.826.0.1.1")))
      << store_only.output;
  ToolResult lower = Find("FINDSCU", {"QueryRetrieveLevel=study",
                                      "PatientID=P1", "StudyInstanceUID"});
  EXPECT_THAT(lower.output, Not(HasSubstr("1.2.826.0.1.1"))) << lower.output;
}

}  // namespace
}  // namespace vantor
