#include "query/patient_query.h"

#include <gtest/gtest.h>

#include "query/related_counts.h"
#include "tests/query/archive_query_test.h"

// The archive rows are written with designated initializers that leave the
// other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vantor {
namespace {

class PatientQueryTest : public ArchiveQueryTest {
 protected:
  void SetUp() override {
    ArchiveQueryTest::SetUp();
    if (IsSkipped()) return;
    meyer_ = archive_.AddPatient({.patient_id = "P1",
                                  .last_name = "Meyer",
                                  .first_name = "Anna",
                                  .birth_date = "1965-03-03",
                                  .sex = "F"});
    brandt_ = archive_.AddPatient({.patient_id = "P2", .last_name = "Brandt"});
    nameless_ = archive_.AddPatient({.patient_id = "P3", .last_name = {}});
  }

  std::optional<dicom::DatasetCollection> Find(
      std::initializer_list<Key> keys, bool siemens = false,
      bool internal_id = false) {
    return dicom::CollectResponses(GetPatientData, Context(siemens, internal_id),
                                   Identifier(keys));
  }

  int64_t meyer_ = 0, brandt_ = 0, nameless_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Archive, PatientQueryTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(PatientQueryTest, EmptyIdentifierFindsEveryNamedPatient) {
  auto found = Find({{0x0008, 0x0052, Value("PATIENT")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].GetText(kPatient, kName), "Brandt");
  EXPECT_EQ((*found)[1].GetText(kPatient, kName), "Meyer^Anna");
  EXPECT_EQ((*found)[1].GetText(0x0008, 0x0052), "PATIENT");
  EXPECT_NE(DebugLog().find("\tDICOM-Operation: C-Find DICOM-Level: PATIENT"
                            "\tGetPatientData\r\n"),
            std::string::npos);
}

TEST_P(PatientQueryTest, ResponseAttributesAsStored) {
  archive_.AddStudy(meyer_, {.description = "EM: Trauma"});
  archive_.AddStudy(brandt_, {.description = "Knee EM:"});
  auto found = Find({{kPatient, kName, Value("*")}}, true, true);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  const dicom::Dataset& meyer = (*found)[1];
  EXPECT_EQ(meyer.GetText(kPatient, kName), "Meyer, Anna");
  EXPECT_EQ(meyer.GetText(kPatient, kId), std::to_string(meyer_));
  EXPECT_EQ(meyer.Get(kPatient, kBirth), Value(Date{1965, 3, 3}));
  EXPECT_EQ(meyer.GetText(kPatient, kSex), "F");
  EXPECT_EQ(meyer.GetText(0x0038, 0x0500), "1");  // an emergency study
  EXPECT_EQ((*found)[0].GetText(0x0038, 0x0500), "0");
  EXPECT_FALSE((*found)[0].Has(kPatient, kBirth));
  EXPECT_FALSE(meyer.Has(0x0038, 0x0008));
  EXPECT_FALSE(meyer.Has(0x0020, 0x1200));
}

TEST_P(PatientQueryTest, MatchingKeys) {
  auto names = [&](std::initializer_list<Key> keys) {
    std::vector<std::string> out;
    auto found = Find(keys);
    if (found)
      for (const dicom::Dataset& ds : *found)
        out.push_back(ds.GetText(kPatient, kId));
    return out;
  };
  using Ids = std::vector<std::string>;
  EXPECT_EQ(names({{kPatient, kName, Value("meyer^anna")}}), Ids{"P1"});
  EXPECT_EQ(names({{kPatient, kName, Value("Meyer^Berta")}}), Ids{});
  EXPECT_EQ(names({{kPatient, kId, Value("P?")}}), (Ids{"P2", "P1"}));
  EXPECT_EQ(names({{kPatient, kBirth, Value("19650101-19651231")}}),
            Ids{"P1"});
  EXPECT_EQ(names({{kPatient, kBirth, Value("19650303")}}), Ids{"P1"});
  EXPECT_EQ(names({{kPatient, kId, Value("x' OR '1'='1")}}), Ids{});
}

TEST_P(PatientQueryTest, StatusAndCountsWithTheirSwitches) {
  Configure([](Config& c) {
    c.StudyStatus = true;
    c.CountPatient = true;
  });
  int64_t a = archive_.AddStudy(meyer_, {.status = 3});
  archive_.AddStudy(meyer_, {.status = 1});
  archive_.AddStudy(meyer_, {.status = -1});
  int64_t series = archive_.AddSeries(a, {});
  archive_.AddSeries(a, {});
  archive_.AddImage(series, {});
  archive_.AddImage(series, {});

  auto found = Find({{kPatient, kId, Value("P1")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  const dicom::Dataset& meyer = (*found)[0];
  EXPECT_EQ(meyer.GetText(0x0038, 0x0008), "1");
  EXPECT_EQ(meyer.Get(0x0020, 0x1200), Value(2));  // -1 is not counted
  EXPECT_EQ(meyer.Get(0x0020, 0x1202), Value(2));
  EXPECT_EQ(meyer.Get(0x0020, 0x1204), Value(2));

  found = Find({{kPatient, kId, Value("P2")}});
  ASSERT_TRUE(found);
  EXPECT_EQ((*found)[0].GetText(0x0038, 0x0008), "0");
  EXPECT_EQ((*found)[0].Get(0x0020, 0x1204), Value(0));
}

TEST_P(PatientQueryTest, FailureGivesNoCollection) {
  EXPECT_FALSE(Find({{kPatient, kBirth, Value("19650101-")}}));
  EXPECT_NE(ErrorLog().find("\tGetPatientData\r\n"), std::string::npos);
  // The per-row emergency statement fails the query too.
  archive_.Exec("ALTER TABLE tblStudies RENAME TO tblStudiesAway");
  EXPECT_FALSE(Find({}));
}

class RelatedCountsTest : public ArchiveQueryTest {};

INSTANTIATE_TEST_SUITE_P(Archive, RelatedCountsTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(RelatedCountsTest, PatientStatusIsTheLowestNonNegativeOne) {
  int64_t p = archive_.AddPatient({.patient_id = "A"});
  for (int64_t s : {3, 1, 0}) archive_.AddStudy(p, {.status = s});
  EXPECT_EQ(GetPatientStatus(db_, static_cast<int32_t>(p), log_), 0);
  int64_t q = archive_.AddPatient({.patient_id = "B"});
  for (int64_t s : {5, 2, -1}) archive_.AddStudy(q, {.status = s});
  EXPECT_EQ(GetPatientStatus(db_, static_cast<int32_t>(q), log_), 2);
  EXPECT_EQ(GetPatientStatus(db_, 999, log_), 0);
  EXPECT_NE(DebugLog().find("\tGetPatientStatus = 2\t\r\n"),
            std::string::npos);
}

TEST_P(RelatedCountsTest, CountsAndTheirDebugLines) {
  int64_t p = archive_.AddPatient({.patient_id = "A"});
  EXPECT_EQ(GetImageCountFromPatient(db_, static_cast<int32_t>(p), log_), 0);
  EXPECT_NE(DebugLog().find("\tGetImageCountFromPatient = 0\t\r\n"),
            std::string::npos);
  int64_t study = archive_.AddStudy(p, {.status = 0});
  int64_t series = archive_.AddSeries(study, {});
  archive_.AddImage(series, {});
  // A study with a null status is not counted: "= Null" is no null test.
  archive_.AddSeries(archive_.AddStudy(p, {}), {});
  EXPECT_EQ(GetSeriesCountFromPatient(db_, static_cast<int32_t>(p), log_), 1);
  EXPECT_EQ(GetStudyCountFromPatient(db_, static_cast<int32_t>(p), log_), 1);
  EXPECT_EQ(GetSeriesCountFromStudy(db_, static_cast<int32_t>(study), log_), 1);
  EXPECT_EQ(GetImageCountFromStudy(db_, static_cast<int32_t>(study), log_), 1);
  EXPECT_EQ(GetImageCountFromSeries(db_, static_cast<int32_t>(series), log_),
            1);
}

TEST_P(RelatedCountsTest, LargeCountsAreNotCutOff) {
  int64_t study = archive_.AddStudy(archive_.AddPatient({.patient_id = "A"}),
                                    {});
  int64_t series = archive_.AddSeries(study, {});
  archive_.Exec(
      "INSERT INTO tblImages (ImageUID, FKeySeriesID) WITH RECURSIVE n(i) AS "
      "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40000) SELECT "
      "'1.2.3.' || i, " +
      std::to_string(series) + " FROM n");
  EXPECT_EQ(GetImageCountFromSeries(db_, static_cast<int32_t>(series), log_),
            40000);
  EXPECT_EQ(ErrorLog(), "");
}

TEST_P(RelatedCountsTest, FailureGivesZeroAndAnErrorLine) {
  db_.Close();
  EXPECT_EQ(GetImageCountFromSeries(db_, 1, log_), 0);
  EXPECT_EQ(GetPatientStatus(db_, 1, log_), 0);
  std::string errors = ErrorLog();
  EXPECT_NE(errors.find("\tGetImageCountFromSeries\r\n"), std::string::npos);
  EXPECT_NE(errors.find("\tGetPatientStatus\r\n"), std::string::npos);
  EXPECT_EQ(DebugLog().find("GetImageCountFromSeries ="), std::string::npos);
}

}  // namespace
}  // namespace vantor
