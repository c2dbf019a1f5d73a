// C-FIND responses that leave as their rows are read: each response is
// handed on before the next row is fetched, a requester that wants no more
// stops the statement, a failure after some responses is still a failure,
// and the dispatcher sends what the collecting form gathers, in its order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dicom/dispatcher.h"
#include "dicom/level_responses.h"
#include "query/image_query.h"
#include "query/level_query.h"
#include "query/patient_query.h"
#include "query/series_query.h"
#include "query/study_query.h"
#include "tests/query/archive_query_test.h"

// The archive rows are written with designated initializers that leave the
// other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vantor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int kStudies = 40;

// A C-FIND from VIEWER whose responses are recorded; it stops waiting (as
// after a C-CANCEL) once `wanted` responses arrived.
class RecordingRequest : public dicom::Request {
 public:
  explicit RecordingRequest(dicom::Dataset identifier)
      : identifier_(std::move(identifier)) {
    connection_.calling_aet = "VIEWER";
    connection_.remote_ip = "127.0.0.1";
    connection_.number = 1;
  }

  const dicom::Connection& connection() const override { return connection_; }
  std::string operation() const override { return "C-FIND"; }
  const dicom::Dataset& identifier() const override { return identifier_; }
  std::string move_destination() const override { return ""; }
  bool finished() const override { return pending.size() >= wanted; }
  bool cancelled() const override { return finished(); }
  void SendPending(const dicom::Dataset& dataset, uint16_t) override {
    if (!finished()) pending.push_back(dataset);
  }
  void SendFinal(uint16_t status) override { finals.push_back(status); }
  void SendMoveProgress(const SubOperations&, int) override {}
  void SendMoveFinal(uint16_t, const SubOperations&, int,
                     const std::string&) override {}
  SubOperations SendFiles(const std::vector<std::string>&) override {
    return {};
  }

  size_t wanted = SIZE_MAX;
  std::vector<dicom::Dataset> pending;
  std::vector<uint16_t> finals;

 private:
  dicom::Connection connection_;
  dicom::Dataset identifier_;
};

class StreamedResponsesTest : public ArchiveQueryTest {
 protected:
  void SetUp() override {
    ArchiveQueryTest::SetUp();
    if (IsSkipped()) return;
    config_.OwnAET = "VANTOR";
    // Two patients, so that the order mixes names, dates and times.
    const int64_t meyer = archive_.AddPatient(
        {.patient_id = "P1", .last_name = "Meyer", .first_name = "Anna"});
    const int64_t brandt =
        archive_.AddPatient({.patient_id = "P2", .last_name = "Brandt"});
    for (int i = 0; i < kStudies; ++i) {
      const std::string day = std::to_string(10 + i % 19);
      archive_.AddStudy(i % 3 == 0 ? brandt : meyer,
                        {.study_uid = "1.2.826.0.1.77." + std::to_string(i),
                         .study_nr = i % 4 == 0 ? std::optional<std::string>()
                                                : std::to_string(i),
                         .study_date = "2020-03-" + day,
                         .study_time = "10:" + std::to_string(10 + i) + ":00",
                         .description = i % 5 == 0 ? "EM: trauma" : "Knee",
                         .modality = i % 2 == 0 ? "CT" : "MR"});
    }
    archive_.AddNode("VIEWER", "127.0.0.1");
  }

  static dicom::Dataset StudyIdentifier() {
    return Identifier({{0x0008, 0x0052, Value("STUDY")},
                       {kPatient, kName, Value("")},
                       {kPatient, kId, Value("")},
                       {0x0008, 0x0020, Value("")},
                       {0x0008, 0x1030, Value("")},
                       {0x0020, 0x000D, Value("")},
                       {0x0020, 0x0010, Value("")}});
  }

  // The request served by the dispatcher with the real level queries, as
  // the service wires them.
  void Dispatch(RecordingRequest& request) {
    dicom::RequestServices services;
    services.GetPatientData = &GetPatientData;
    services.GetStudyData = &GetStudyData;
    services.GetSeriesData = &GetSeriesData;
    services.GetImageData = &GetImageData;
    services.Stopping = [] { return false; };
    services.EndService = [] {};
    dicom::DCMServer_QueryRequest(request, services,
                                  std::make_shared<const Config>(config_),
                                  Log::Of(config_));
  }

  // The patient view without a patient key for patient P1, the second in
  // the result: its row fails once read.
  void BreakSecondPatientRow() {
    archive_.Exec("DROP VIEW VIEW_Patienten_Standard");
    archive_.Exec(
        "CREATE VIEW VIEW_Patienten_Standard AS SELECT CASE WHEN p.PATID1 = "
        "'P1' THEN NULL ELSE p.PATID END AS PATID, p.PATID1, p.PATNachname, "
        "p.PATVorname, p.PAT2Vorname, p.PATGebDatum, p.PATGeschlecht FROM "
        "tblPatienten p");
  }
};

INSTANTIATE_TEST_SUITE_P(Archive, StreamedResponsesTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(StreamedResponsesTest, EachResponseIsHandedOnBeforeTheNextRowIsRead) {
  int rows_read = 0;
  std::vector<int> read_when_handed;
  std::vector<std::string> uids;
  RunLevelQuery(
      db_, log_, "StreamTest", "DICOM-Operation: test",
      "SELECT StudyUID FROM tblStudies ORDER BY StudyID",
      [&](const ResultRow& row, int32_t row_number) {
        ++rows_read;
        EXPECT_EQ(row_number, rows_read);
        dicom::Dataset response;
        response.Put(0x0020, 0x000D, row["StudyUID"]);
        return response;
      },
      [&](dicom::Dataset&& response) {
        read_when_handed.push_back(rows_read);
        uids.push_back(response.GetText(0x0020, 0x000D));
        return true;
      });
  ASSERT_EQ(read_when_handed.size(), static_cast<size_t>(kStudies));
  for (int i = 0; i < kStudies; ++i) {
    EXPECT_EQ(read_when_handed[i], i + 1);
    EXPECT_EQ(uids[i], "1.2.826.0.1.77." + std::to_string(i));
  }
}

TEST_P(StreamedResponsesTest, ASinkThatWantsNoMoreEndsTheStatementUnread) {
  int rows_read = 0;
  int handed = 0;
  RunLevelQuery(
      db_, log_, "StreamTest", "DICOM-Operation: test",
      "SELECT StudyUID FROM tblStudies ORDER BY StudyID",
      [&](const ResultRow&, int32_t) {
        ++rows_read;
        return dicom::Dataset();
      },
      [&](dicom::Dataset&&) { return ++handed < 3; });
  EXPECT_EQ(handed, 3);
  EXPECT_EQ(rows_read, 3);
  // The statement is closed: the connection runs the next one.
  ResultSet count = db_.Query("SELECT COUNT(*) FROM tblStudies");
  EXPECT_EQ(count.rows[0][0].ToText(), std::to_string(kStudies));
}

TEST_P(StreamedResponsesTest, AFailureAfterSomeResponsesFailsTheQuery) {
  BreakSecondPatientRow();
  std::vector<std::string> names;
  const bool ok = GetPatientData(
      Context(), Identifier({{0x0008, 0x0052, Value("PATIENT")}}),
      [&](dicom::Dataset&& response) {
        names.push_back(response.GetText(kPatient, kName));
        return true;
      });
  EXPECT_FALSE(ok);
  EXPECT_THAT(names, ElementsAre("Brandt"));
  EXPECT_THAT(ErrorLog(),
              HasSubstr("\t94\tInvalid use of Null\tGetPatientData\r\n"));
  // The collecting form gives no collection at all.
  EXPECT_FALSE(dicom::CollectResponses(
      GetPatientData, Context(),
      Identifier({{0x0008, 0x0052, Value("PATIENT")}})));
}

TEST_P(StreamedResponsesTest, TheRequesterGetsWhatTheCollectingFormGathers) {
  for (bool with_retrieve_aet : {false, true}) {
    SCOPED_TRACE(with_retrieve_aet ? "with Retrieve AE Title" : "without");
    dicom::Dataset identifier = StudyIdentifier();
    if (with_retrieve_aet) identifier.Put(0x0008, 0x0054, Value(""));
    std::optional<dicom::DatasetCollection> collected =
        dicom::CollectResponses(GetStudyData, Context(), identifier);
    ASSERT_TRUE(collected);
    ASSERT_EQ(collected->size(), static_cast<size_t>(kStudies));

    RecordingRequest request(identifier);
    Dispatch(request);
    EXPECT_THAT(request.finals, ElementsAre(dicom::kStatusSuccess));
    ASSERT_EQ(request.pending.size(), collected->size());
    for (size_t i = 0; i < collected->size(); ++i) {
      SCOPED_TRACE("response " + std::to_string(i + 1));
      dicom::Dataset expected = (*collected)[i];
      if (with_retrieve_aet) expected.Put(0x0008, 0x0054, Value("VANTOR"));
      const std::vector<dicom::Dataset::Element> want = expected.Enumerate();
      const std::vector<dicom::Dataset::Element> got =
          request.pending[i].Enumerate();
      ASSERT_EQ(got.size(), want.size());
      for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(got[k].group, want[k].group);
        EXPECT_EQ(got[k].element, want[k].element);
        EXPECT_EQ(got[k].value, want[k].value)
            << std::hex << want[k].group << "," << want[k].element;
      }
    }
  }
  EXPECT_THAT(DebugLog(), HasSubstr("\t40 datasets sent to VIEWER/127.0.0.1"));
}

TEST_P(StreamedResponsesTest, ARequesterThatStopsWaitingStopsTheQuery) {
  RecordingRequest request(StudyIdentifier());
  request.wanted = 2;
  Dispatch(request);
  EXPECT_EQ(request.pending.size(), 2u);
  ASSERT_EQ(request.finals.size(), 1u);
  // Only the rows of what went out were made into responses.
  EXPECT_THAT(DebugLog(), HasSubstr("\t2 datasets sent to VIEWER/127.0.0.1"));
}

TEST_P(StreamedResponsesTest, AFailureAfterSomeResponsesEndsTheFindWithC000) {
  BreakSecondPatientRow();
  RecordingRequest request(Identifier({{0x0008, 0x0052, Value("PATIENT")}}));
  Dispatch(request);
  ASSERT_EQ(request.pending.size(), 1u);
  EXPECT_EQ(request.pending[0].GetText(kPatient, kName), "Brandt");
  EXPECT_THAT(request.finals, ElementsAre(dicom::kStatusUnableToProcess));
  EXPECT_THAT(ErrorLog(),
              HasSubstr("\t94\tInvalid use of Null\tGetPatientData\r\n"));
  EXPECT_THAT(DebugLog(), HasSubstr("\t1 datasets sent to VIEWER/127.0.0.1"));
}

}  // namespace
}  // namespace vantor
