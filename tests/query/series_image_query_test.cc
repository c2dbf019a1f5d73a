#include <gtest/gtest.h>

#include "query/image_query.h"
#include "query/series_query.h"
#include "tests/query/archive_query_test.h"

// The archive rows are written with designated initializers that leave the
// other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vantor {
namespace {

constexpr uint16_t kUid = 0x0020, kStudyUid = 0x000D, kSeriesUid = 0x000E;

class SeriesImageQueryTest : public ArchiveQueryTest {
 protected:
  void SetUp() override {
    ArchiveQueryTest::SetUp();
    if (IsSkipped()) return;
    patient_ = archive_.AddPatient({.patient_id = "P1",
                                    .last_name = "Meyer",
                                    .first_name = "Anna",
                                    .birth_date = "1965-03-03"});
    study_ = archive_.AddStudy(patient_, {.study_uid = "1.2.3",
                                          .study_date = "2003-01-15",
                                          .study_time = "10:15:00",
                                          .body_part = "HEAD",
                                          .accession = "A1"});
    ct_ = archive_.AddSeries(study_, {.series_uid = "1.2.3.1",
                                      .series_nr = 4, .modality = "CT",
                                      .contrast_agent = "Iodine"});
    mr_ = archive_.AddSeries(study_, {.series_uid = "1.2.3.2",
                                      .modality = "MR"});
    archive_.AddImage(ct_, {.image_uid = "1.2.3.1.1", .image_nr = 7,
                            .location = 12.5, .thickness = 1.25});
    archive_.AddImage(ct_, {.image_uid = "1.2.3.1.2", .image_nr = 8,
                            .rows = 256, .columns = 320});
    archive_.AddImage(mr_, {.image_uid = "1.2.3.2.1"});
  }

  std::optional<dicom::DatasetCollection> Series(
      std::initializer_list<Key> keys, bool internal_id = false) {
    return dicom::CollectResponses(GetSeriesData, Context(false, internal_id),
                                   Identifier(keys));
  }
  std::optional<dicom::DatasetCollection> Images(
      std::initializer_list<Key> keys, bool internal_id = false) {
    return dicom::CollectResponses(GetImageData, Context(false, internal_id),
                                   Identifier(keys));
  }

  int64_t patient_ = 0, study_ = 0, ct_ = 0, mr_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Archive, SeriesImageQueryTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(SeriesImageQueryTest, SeriesOfOneStudy) {
  auto found = Series({{kPatient, kId, Value("P1")},
                       {kUid, kStudyUid, Value("1.2.3")},
                       {0x0008, 0x0052, Value("SERIES")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  const dicom::Dataset& ct = (*found)[0];
  EXPECT_EQ(ct.GetText(kUid, kSeriesUid), "1.2.3.1");
  EXPECT_EQ(ct.GetText(0x0008, 0x0052), "SERIES");
  EXPECT_EQ(ct.GetText(0x0018, 0x0015), "HEAD");
  EXPECT_EQ(ct.Get(0x0008, 0x0021), Value(Date{2003, 1, 15}));
  EXPECT_EQ(ct.GetText(0x0008, 0x0031), "101500");
  EXPECT_EQ(ct.GetText(0x0008, 0x0060), "CT");
  EXPECT_EQ(ct.GetText(0x0008, 0x0050), "A1");
  EXPECT_EQ(ct.GetText(0x0018, 0x0010), "Iodine");
  EXPECT_EQ(ct.Get(0x0020, 0x0011), Value(4));
  EXPECT_FALSE(ct.Has(0x0020, 0x1209));
  const dicom::Dataset& mr = (*found)[1];
  EXPECT_EQ(mr.GetText(0x0018, 0x0010), "NONE");
  EXPECT_EQ(mr.Get(0x0020, 0x0011), Value(2));  // its place in the result
  EXPECT_NE(DebugLog().find("\tDICOM-Operation: C-FIND DICOM-Level: SERIES"
                            "\tGetSeriesData\r\n"),
            std::string::npos);
}

TEST_P(SeriesImageQueryTest, SeriesKeysAndCount) {
  Configure([](Config& c) { c.CountSeries = true; });
  auto found = Series({{kPatient, kId, Value(std::to_string(patient_))},
                       {kUid, kStudyUid, Value("1.2.3")},
                       {0x0008, 0x0060, Value("C*")}},
                      true);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].Get(0x0020, 0x1209), Value(2));

  // No Study Instance UID: nothing matches; a patient ID is not a pattern.
  found = Series({{kPatient, kId, Value("P1")}});
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->empty());
  found = Series({{kPatient, kId, Value("P*")},
                  {kUid, kStudyUid, Value("1.2.3")}});
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->empty());
  EXPECT_FALSE(Series({{kPatient, kId, Value("P1")}}, true));
}

TEST_P(SeriesImageQueryTest, SeriesAndSopInstanceUidsSelectTheirRows) {
  auto series = Series({{kUid, kStudyUid, Value("1.2.3")},
                        {kUid, kSeriesUid, Value("1.2.3.2")}});
  ASSERT_TRUE(series);
  ASSERT_EQ(series->size(), 1u);
  EXPECT_EQ((*series)[0].GetText(kUid, kSeriesUid), "1.2.3.2");

  auto images = Images({{kUid, kStudyUid, Value("1.2.3")},
                        {0x0008, 0x0018, Value("1.2.3.1.2\\1.2.3.2.1")}});
  ASSERT_TRUE(images);
  ASSERT_EQ(images->size(), 2u);
  // Ordered by image number; the MR image has none and comes first, as
  // SQL Server and SQLite sort nulls. PostgreSQL sorts them last in an
  // ascending order; the statement's ORDER BY stands as it is.
  const bool nulls_last = GetParam() == ArchiveBackend::kPostgres;
  EXPECT_EQ((*images)[nulls_last ? 1 : 0].GetText(0x0008, 0x0018),
            "1.2.3.2.1");
  EXPECT_EQ((*images)[nulls_last ? 0 : 1].GetText(0x0008, 0x0018),
            "1.2.3.1.2");
}

TEST_P(SeriesImageQueryTest, ImagesOfOneSeries) {
  auto found = Images({{kPatient, kId, Value("P1")},
                       {kUid, kSeriesUid, Value("1.2.3.1")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  const dicom::Dataset& first = (*found)[0];
  EXPECT_EQ(first.GetText(0x0008, 0x0018), "1.2.3.1.1");
  // A CT image without a stored matrix size has 512 x 512.
  EXPECT_EQ(first.Get(0x0028, 0x0010), Value(512));
  EXPECT_EQ(first.Get(0x0028, 0x0011), Value(512));
  EXPECT_EQ(first.GetText(0x0008, 0x0050), "A1");
  EXPECT_EQ(first.Get(0x0020, 0x0013), Value(7));
  EXPECT_EQ(first.Get(0x0020, 0x1041), Value(12.5));
  EXPECT_EQ(first.Get(0x0018, 0x0050), Value(1.25));
  const dicom::Dataset& second = (*found)[1];
  EXPECT_EQ(second.Get(0x0028, 0x0010), Value(256));
  EXPECT_EQ(second.Get(0x0028, 0x0011), Value(320));
  EXPECT_FALSE(second.Has(0x0020, 0x1041));
}

TEST_P(SeriesImageQueryTest, ImageWithoutStoredValues) {
  auto found = Images({{kUid, kStudyUid, Value("1.2.3")},
                       {kPatient, kName, Value("Meyer^Anna")},
                       {kUid, kSeriesUid, Value("1.2.3.2")}});
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  const dicom::Dataset& mr = (*found)[0];
  EXPECT_FALSE(mr.Has(0x0028, 0x0010));  // not CT: no size is made up
  EXPECT_FALSE(mr.Has(0x0028, 0x0011));
  EXPECT_EQ(mr.Get(0x0020, 0x0013), Value(1));
  EXPECT_FALSE(mr.Has(0x0018, 0x0050));

  found = Images({{kUid, kStudyUid, Value("1.2.3")},
                  {kPatient, kName, Value("Brandt")}});
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->empty());
  found = Images({{kUid, kSeriesUid, Value("1.2.3.1'OR'1'='1")}});
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->empty());
}

TEST_P(SeriesImageQueryTest, ImageQueryWithoutAnchorFails) {
  EXPECT_FALSE(Images({{kPatient, kName, Value("Meyer")}}));
  EXPECT_NE(ErrorLog().find("\tGetImageData\r\n"), std::string::npos);
  std::string debug = DebugLog();
  EXPECT_NE(debug.find("\tSQL:  And PATNachname = 'Meyer'  ORDER BY"),
            std::string::npos)
      << debug;
}

}  // namespace
}  // namespace vantor
