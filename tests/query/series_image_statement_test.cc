#include <gtest/gtest.h>

#include "host/base/failure.h"
#include "query/image_query.h"
#include "query/series_query.h"
#include "tests/query/query_test_util.h"

namespace vantor {
namespace {

constexpr uint16_t kUid = 0x0020, kStudyUid = 0x000D, kSeriesUid = 0x000E;
constexpr char kSeriesTail[] =
    " ORDER BY PatNachname, PatVorname, PatGebDatum, PatID1, StudyID, "
    "SeriesID, StudyDate, StudyTime;";
constexpr char kImageTail[] =
    " ORDER BY PatNachname, PatVorname, PatGebDatum, PATID1, StudyID, "
    "ImageNr;";

std::string Series(std::initializer_list<Key> keys, bool siemens = false,
                   bool internal_id = false) {
  return SeriesStatement(Identifier(keys), siemens, internal_id);
}

std::string Image(std::initializer_list<Key> keys, bool siemens = false,
                  bool internal_id = false) {
  return ImageStatement(Identifier(keys), siemens, internal_id);
}

TEST(SeriesStatementTest, Heads) {
  EXPECT_EQ(Series({{kPatient, kId, Value("P1")},
                    {kUid, kStudyUid, Value("1.2.3")}}),
            "SELECT * FROM VIEW_Series WHERE PATID1 = 'P1' AND StudyUID = "
            "'1.2.3' And PATNachname Like '%'  ORDER BY PatNachname, "
            "PatVorname, PatGebDatum, PatID1, StudyID, SeriesID, StudyDate, "
            "StudyTime;");
  EXPECT_EQ(Series({{kUid, kStudyUid, Value("1.2.3")}}),
            std::string("SELECt * FROM VIEW_Series WHERE StudyUID = '1.2.3' "
                        "And PATNachname Like '%' ") +
                kSeriesTail);
  EXPECT_EQ(Series({{kPatient, kId, Value("00123")},
                    {kUid, kStudyUid, Value("1.2.3")}},
                   false, true),
            std::string("SELECT * FROM VIEW_Series WHERE PATID = 123 AND "
                        "StudyUID = '1.2.3' And PATNachname Like '%' ") +
                kSeriesTail);
  // Without a Study Instance UID nothing can match.
  EXPECT_EQ(Series({}), std::string("SELECt * FROM VIEW_Series WHERE "
                                    "StudyUID = '' And PATNachname Like '%' ") +
                            kSeriesTail);
  EXPECT_THROW(Series({{kPatient, kId, Value("P1")}}, false, true), Failure);
}

TEST(SeriesStatementTest, KeysAreComparedAsGiven) {
  // No wildcards in the patient ID and no date handling of the birth date.
  EXPECT_EQ(Series({{kPatient, kId, Value("P*")},
                    {kUid, kStudyUid, Value("1.2")},
                    {kPatient, kName, Value("Meyer, Anna")},
                    {kPatient, kBirth, Value("19650101-19651231")},
                    {0x0008, 0x0090, Value("Schmi")}},
                   true),
            std::string("SELECT * FROM VIEW_Series WHERE PATID1 = 'P*' AND "
                        "StudyUID = '1.2' And PATNachname Like 'Meyer%'  And "
                        "PATGebdatum = '19650101-19651231'  AND "
                        "(UeberweiserName like '%Schmi%' OR UeberweiserName "
                        "= '' OR UeberweiserName is NULL OR UeberweiserName "
                        "= 'Unknown')") +
                kSeriesTail);
  EXPECT_EQ(Series({{kUid, kStudyUid, Value("1.2")},
                    {kPatient, kName, Value("Meyer^Anna")},
                    {0x0008, 0x0060, Value("MR")},
                    {0x0019, 0x0011, Value("x")}}),
            std::string("SELECt * FROM VIEW_Series WHERE StudyUID = '1.2' And "
                        "PATNachname = 'Meyer'  And PATVorname = 'Anna'  AND "
                        "Modality LIKE 'MR' AND KeyStudy = 1") +
                kSeriesTail);
}

TEST(SeriesStatementTest, ApostrophesStayInsideTheLiterals) {
  EXPECT_EQ(Series({{kPatient, kId, Value("P'1")},
                    {kUid, kStudyUid, Value("1'OR'1'='1")},
                    {kPatient, kBirth, Value("1965'")}}),
            std::string("SELECT * FROM VIEW_Series WHERE PATID1 = 'P''1' AND "
                        "StudyUID = '1''OR''1''=''1' And PATNachname Like "
                        "'%'  And PATGebdatum = '1965''' ") +
                kSeriesTail);
}

TEST(ImageStatementTest, Heads) {
  EXPECT_EQ(Image({{kPatient, kId, Value("P1")},
                   {kUid, kSeriesUid, Value("1.2.3.4")}}),
            "Select * from VIEW_Images Where PATID1 = 'P1' And SeriesUID = "
            "'1.2.3.4' And PATNachname Like '%'  And SeriesUID = '1.2.3.4' "
            "ORDER BY PatNachname, PatVorname, PatGebDatum, PATID1, StudyID, "
            "ImageNr;");
  EXPECT_EQ(Image({{kUid, kStudyUid, Value("1.2")}}),
            std::string("Select * From VIEW_Images where StudyUID = '1.2' And "
                        "PATNachname Like '%'  And StudyUID = '1.2'") +
                kImageTail);
  EXPECT_EQ(Image({{kUid, kSeriesUid, Value("1.2.3")}}),
            std::string("Select * From VIEW_Images where SeriesUID = '1.2.3' "
                        "And PATNachname Like '%'  And SeriesUID = '1.2.3'") +
                kImageTail);
  EXPECT_EQ(Image({{kPatient, kId, Value("00123")},
                   {kUid, kStudyUid, Value("1.2")},
                   {kUid, kSeriesUid, Value("1.2.3")}},
                  false, true),
            std::string("Select * from VIEW_Images Where PATID = 123 And "
                        "StudyUID = '1.2' And SeriesUID = '1.2.3' And "
                        "PATNachname Like '%'  And SeriesUID = '1.2.3'") +
                kImageTail);
  // No anchor at all: a statement the server rejects.
  EXPECT_EQ(Image({}), std::string(" And PATNachname Like '%' ") + kImageTail);
  EXPECT_THROW(Image({{kPatient, kId, Value("x")}}, false, true), Failure);
}

TEST(ImageStatementTest, NameAndBirthDate) {
  EXPECT_EQ(Image({{kUid, kSeriesUid, Value("9")},
                   {kPatient, kName, Value("O'Bri*^Se'an")},
                   {kPatient, kBirth, Value("19650303")}}),
            std::string("Select * From VIEW_Images where SeriesUID = '9' And "
                        "PATNachname Like 'O\xC2\xB4" "Bri%'  And PATVorname = "
                        "'Se\xC2\xB4" "an'  And PATGebdatum = '19650303'  And "
                        "SeriesUID = '9'") +
                kImageTail);
  EXPECT_EQ(Image({{kUid, kSeriesUid, Value("9'")}}),
            std::string("Select * From VIEW_Images where SeriesUID = '9''' And "
                        "PATNachname Like '%'  And SeriesUID = '9'''") +
                kImageTail);
}

TEST(ImageStatementTest, DecimalMark) {
  EXPECT_EQ(AdaptDecimalMark("12.5", ','), "12,5");
  EXPECT_EQ(AdaptDecimalMark("12,5", '.'), "12.5");
  EXPECT_EQ(AdaptDecimalMark("-3.25", '.'), "-3.25");
}

}  // namespace
}  // namespace vantor
