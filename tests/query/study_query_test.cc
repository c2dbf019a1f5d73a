#include "query/study_query.h"

// The archive rows are written with designated initializers that leave the
// other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include "tests/query/archive_query_test.h"

namespace vantor {
namespace {

class StudyQueryTest : public ArchiveQueryTest {
 protected:
  void SetUp() override {
    ArchiveQueryTest::SetUp();
    if (IsSkipped()) return;
    meyer_ = archive_.AddPatient({.patient_id = "P1",
                                  .last_name = "Meyer",
                                  .first_name = "Anna",
                                  .second_first_name = "Lena",
                                  .birth_date = "1965-03-03",
                                  .sex = "F"});
    brandt_ = archive_.AddPatient({.patient_id = "P2", .last_name = "Brandt"});
    first_ = archive_.AddStudy(
        meyer_, {.study_uid = "1.1", .status = 3, .study_nr = "77",
                 .study_date = "2003-01-15", .study_time = "10:15:00",
                 .description = "em: chest", .modality = "CT",
                 .body_part = "CHEST", .referring_physician = "Schmidt",
                 .accession = "A1"});
    second_ = archive_.AddStudy(
        meyer_, {.study_uid = "1.2", .study_date = "2003-02-01"});
    archive_.AddStudy(brandt_, {.study_uid = "1.3", .status = 0,
                                .study_date = "2003-01-31",
                                .referring_physician = "Unknown"});
    archive_.AddStudy(brandt_, {.study_uid = "1.4", .status = -1});
  }

  std::optional<dicom::DatasetCollection> Find(
      std::initializer_list<Key> keys, bool siemens = false,
      bool internal_id = false, const Cancelled& cancelled = {}) {
    return dicom::CollectResponses(
        GetStudyData, Context(siemens, internal_id, cancelled),
        Identifier(keys));
  }

  static std::vector<std::string> Uids(
      const std::optional<dicom::DatasetCollection>& found) {
    std::vector<std::string> uids;
    if (found)
      for (const dicom::Dataset& ds : *found)
        uids.push_back(ds.GetText(0x0020, 0x000D));
    return uids;
  }

  int64_t meyer_ = 0, brandt_ = 0, first_ = 0, second_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Archive, StudyQueryTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(StudyQueryTest, EmptyIdentifierFindsEveryStudyThatIsNotWithdrawn) {
  auto found = Find({{0x0008, 0x0052, Value("STUDY")}});
  ASSERT_TRUE(found);
  EXPECT_EQ(Uids(found), (std::vector<std::string>{"1.3", "1.1", "1.2"}));
  // The identifier's keys come back with every response.
  for (const dicom::Dataset& ds : *found)
    EXPECT_EQ(ds.GetText(0x0008, 0x0052), "STUDY");

  std::string debug = DebugLog();
  EXPECT_NE(debug.find("\tDICOM-Operation: C-FIND DICOM-Level: STUDY\t"
                       "GetStudyData\r\n"),
            std::string::npos)
      << debug;
  EXPECT_NE(debug.find("\tSQL: SELECT * FROM VIEW_Studies WHERE PATID1 Like "
                       "'%' And PATNachname LIKE '%'  And (FKeyStatusID"),
            std::string::npos)
      << debug;
}

TEST_P(StudyQueryTest, ResponseAttributes) {
  Configure([](Config& c) { c.StudyStatus = true; });
  auto found = Find({{kPatient, kName, Value("Meyer^Anna")},
                     {0x0008, 0x1030, Value("")},
                     {0x0020, 0x0010, Value("")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  const dicom::Dataset& first = (*found)[0];
  EXPECT_EQ(first.GetText(kPatient, kName), "Meyer^Anna^Lena");
  EXPECT_EQ(first.GetText(kPatient, kId), "P1");
  EXPECT_EQ(first.Get(kPatient, kBirth), Value(Date{1965, 3, 3}));
  EXPECT_EQ(first.GetText(kPatient, kSex), "F");
  EXPECT_EQ(first.Get(0x0008, 0x0020), Value(Date{2003, 1, 15}));
  EXPECT_EQ(first.GetText(0x0008, 0x0030), "101500");
  EXPECT_EQ(first.GetText(0x0008, 0x0060), "CT");
  EXPECT_EQ(first.GetText(0x0008, 0x0061), "CT");
  EXPECT_EQ(first.GetText(0x0008, 0x1030), "em: chest");
  EXPECT_EQ(first.GetText(0x0018, 0x0015), "CHEST");
  EXPECT_EQ(first.GetText(0x0008, 0x0090), "Schmidt");
  EXPECT_EQ(first.GetText(0x0008, 0x0050), "A1");
  EXPECT_EQ(first.GetText(0x0020, 0x0010), "77");
  EXPECT_EQ(first.GetText(0x0032, 0x000C), "1");  // emergency
  EXPECT_EQ(first.GetText(0x0032, 0x000A), "3");

  const dicom::Dataset& second = (*found)[1];
  EXPECT_EQ(second.GetText(0x0008, 0x1030), "N/A");
  EXPECT_FALSE(second.Has(0x0032, 0x000C));
  EXPECT_FALSE(second.Has(0x0008, 0x0060));
  EXPECT_EQ(second.GetText(0x0020, 0x0010), "2");  // its place in the result
  EXPECT_EQ(second.GetText(0x0032, 0x000A), "0");  // null status
}

TEST_P(StudyQueryTest, NodeFlagsShapeNamesAndPatientIds) {
  auto found = Find({{kPatient, kName, Value("Meyer, Anna")}}, true, true);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].GetText(kPatient, kName), "Meyer, Anna, Lena");
  EXPECT_EQ((*found)[0].GetText(kPatient, kId), std::to_string(meyer_));

  found = Find({{kPatient, kId, Value(std::to_string(meyer_))}}, false, true);
  EXPECT_EQ(Uids(found), (std::vector<std::string>{"1.1", "1.2"}));
}

TEST_P(StudyQueryTest, StudyDateRangeAndReferringPhysician) {
  EXPECT_EQ(Uids(Find({{0x0008, 0x0020, Value("20030101-20030131")}})),
            (std::vector<std::string>{"1.3", "1.1"}));
  EXPECT_EQ(Uids(Find({{0x0008, 0x0020, Value("20030115")}})),
            (std::vector<std::string>{"1.1"}));
  // Studies without a known referring physician match every such key.
  EXPECT_EQ(Uids(Find({{0x0008, 0x0090, Value("Schmi")}})),
            (std::vector<std::string>{"1.3", "1.1", "1.2"}));
  EXPECT_EQ(Uids(Find({{0x0008, 0x0090, Value("Weber")}})),
            (std::vector<std::string>{"1.3", "1.2"}));
}

TEST_P(StudyQueryTest, RelatedCountsOnlyWhenSwitchedOn) {
  int64_t series = archive_.AddSeries(first_, {});
  archive_.AddSeries(first_, {});
  archive_.AddImage(series, {});
  archive_.AddImage(series, {});
  archive_.AddImage(series, {});

  auto found = Find({{kPatient, kId, Value("P1")}, {0x0020, 0x1208,
                                                     Value(99)}});
  ASSERT_TRUE(found);
  EXPECT_FALSE((*found)[0].Has(0x0020, 0x1000));
  EXPECT_EQ((*found)[0].Get(0x0020, 0x1208), Value(99));  // as requested

  Configure([](Config& c) { c.CountStudy = true; });
  found = Find({{kPatient, kId, Value("P1")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].Get(0x0020, 0x1000), Value(2));
  EXPECT_EQ((*found)[0].Get(0x0020, 0x1206), Value(2));
  EXPECT_EQ((*found)[0].Get(0x0020, 0x1208), Value(3));
  EXPECT_EQ((*found)[1].Get(0x0020, 0x1208), Value(0));
  EXPECT_NE(DebugLog().find("GetImageCountFromStudy = 3"), std::string::npos);
}

TEST_P(StudyQueryTest, StudyInstanceUidSelectsItsStudies) {
  EXPECT_EQ(Uids(Find({{0x0020, 0x000D, Value("1.2")}})),
            (std::vector<std::string>{"1.2"}));
  EXPECT_EQ(Uids(Find({{0x0020, 0x000D, Value("1.3\\1.1\\9.9")}})),
            (std::vector<std::string>{"1.3", "1.1"}));
  // A withdrawn study stays hidden when it is asked for by its UID.
  EXPECT_TRUE(Uids(Find({{0x0020, 0x000D, Value("1.4")}})).empty());
  EXPECT_EQ(Uids(Find({{0x0020, 0x000D, Value("*")}})).size(), 3u);
}

TEST_P(StudyQueryTest, QuotedKeysCannotWidenTheQuery) {
  for (const Key& key : {Key{kPatient, kId, Value("x' OR '1'='1")},
                         Key{0x0008, 0x0050, Value("x' OR '1'='1")},
                         Key{0x0008, 0x0060, Value("x') OR 1=1 --")},
                         Key{0x0008, 0x1030, Value("x'; DROP TABLE tblStudies; --")},
                         Key{0x0008, 0x0090, Value("x' OR '1'='1")},
                         Key{0x0020, 0x000D, Value("1.1' OR '1'='1")}}) {
    auto found = Find({key});
    ASSERT_TRUE(found) << key.value.ToText();
    EXPECT_LE(found->size(), 2u) << key.value.ToText();
  }
  EXPECT_EQ(Uids(Find({})).size(), 3u);  // the tables are still there
}

TEST_P(StudyQueryTest, UmlautsAreMatchedAndReturned) {
  archive_.AddStudy(
      archive_.AddPatient({.patient_id = "P3", .last_name = "M\xC3\xBCller"}),
      {.study_uid = "1.5"});
  auto found = Find({{kPatient, kName, Value("M\xC3\xBC*")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].GetText(kPatient, kName), "M\xC3\xBCller");
}

TEST_P(StudyQueryTest, FailureGivesNoCollectionAndIsLogged) {
  EXPECT_FALSE(Find({{kPatient, kId, Value("P1")}}, false, true));
  EXPECT_NE(ErrorLog().find("\t13\tType mismatch\tGetStudyData\r\n"),
            std::string::npos)
      << ErrorLog();
  archive_.Exec("DROP VIEW VIEW_Studies");
  EXPECT_FALSE(Find({}));
}

TEST_P(StudyQueryTest, CancelStopsReadingTheRows) {
  auto found = Find({}, false, false, [] { return true; });
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size(), 1u);
}

}  // namespace
}  // namespace vantor
