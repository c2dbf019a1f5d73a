#include <gtest/gtest.h>

#include "host/base/failure.h"
#include "query/study_query.h"
#include "tests/query/query_test_util.h"

namespace vantor {
namespace {

constexpr char kHead[] = "SELECT * FROM VIEW_Studies WHERE ";
constexpr char kTail[] =
    " And (FKeyStatusID > -1 or FKeyStatusID is Null) ORDER BY PatNachname, "
    "PatVorname, PatGebDatum, PATID1, StudyDate, StudyTime;";

std::string Statement(std::initializer_list<Key> keys, bool siemens = false,
                      bool internal_id = false,
                      const char* date_format = "YYYYMMDD") {
  return StudyStatement(Identifier(keys), siemens, internal_id, date_format);
}

TEST(StudyStatementTest, NameOnly) {
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer^Anna")}}),
            "SELECT * FROM VIEW_Studies WHERE PATID1 Like '%' And PATNachname "
            "= 'Meyer'  And PATVorname = 'Anna'  And (FKeyStatusID > -1 or "
            "FKeyStatusID is Null) ORDER BY PatNachname, PatVorname, "
            "PatGebDatum, PATID1, StudyDate, StudyTime;");
}

TEST(StudyStatementTest, EmptyIdentifierMatchesEveryPatient) {
  EXPECT_EQ(Statement({}), std::string(kHead) +
                               "PATID1 Like '%' And PATNachname LIKE '%' " +
                               kTail);
  // Keys sent empty (return keys) add nothing either.
  EXPECT_EQ(Statement({{kPatient, kId, Value("")},
                       {kPatient, kName, Value("")},
                       {kPatient, kBirth, Value("")},
                       {0x0008, 0x0020, Value("")},
                       {0x0008, 0x0060, Value("")},
                       {0x0019, 0x0011, Value("")}}),
            Statement({}));
}

TEST(StudyStatementTest, PatientIdForms) {
  const std::string name = "And PATNachname LIKE '%' ";
  EXPECT_EQ(Statement({{kPatient, kId, Value("P1")}}),
            std::string(kHead) + "PATID1 = 'P1' " + name + kTail);
  EXPECT_EQ(Statement({{kPatient, kId, Value("12*")}}, false, true),
            std::string(kHead) + "PATID1 Like '12%' " + name + kTail);
  EXPECT_EQ(Statement({{kPatient, kId, Value("1?3")}}),
            std::string(kHead) + "PATID1 Like '1_3' " + name + kTail);
  EXPECT_EQ(Statement({{kPatient, kId, Value("00123")}}, false, true),
            std::string(kHead) + "PATID = 123 " + name + kTail);
  EXPECT_THROW(Statement({{kPatient, kId, Value("P1")}}, false, true),
               Failure);
  EXPECT_THROW(Statement({{kPatient, kId, Value("1 OR 1=1")}}, false, true),
               Failure);
}

TEST(StudyStatementTest, NameForms) {
  const std::string id = std::string(kHead) + "PATID1 Like '%' ";
  EXPECT_EQ(Statement({{kPatient, kName, Value("Mey*")}}),
            id + "And PATNachname LIKE 'Mey%' " + kTail);
  EXPECT_EQ(Statement({{kPatient, kName, Value("^Anna")}}),
            id + " And PATVorname = 'Anna' " + kTail);
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer^A?na")}}),
            id + "And PATNachname = 'Meyer'  And PATVorname Like 'A_na' " +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer, Anna")}}, true),
            id + "And PATNachname LIKE 'Meyer%' " + kTail);
  EXPECT_EQ(Statement({{kPatient, kName, Value("O'Brien")}}),
            id + "And PATNachname = 'O\xC2\xB4" "Brien' " + kTail);
}

TEST(StudyStatementTest, BirthDate) {
  const std::string start =
      std::string(kHead) + "PATID1 Like '%' And PATNachname LIKE '%' ";
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19650303")}}),
            start + " And PATGebDatum = '19650303' " + kTail);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19650303")}}, false, false,
                      "YYYY-MM-DD"),
            start + " And PATGebDatum = '1965-03-03' " + kTail);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19650101-19651231")}}),
            start + " And PATGebDatum Between '19650101' And '19651231'" +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19650303-19650303")}}),
            start + " And PATGebDatum = '19650303' " + kTail);
  EXPECT_THROW(Statement({{kPatient, kBirth, Value("19650101-")}}), Failure);
}

TEST(StudyStatementTest, StudyDate) {
  const std::string start =
      std::string(kHead) + "PATID1 Like '%' And PATNachname LIKE '%' ";
  EXPECT_EQ(Statement({{0x0008, 0x0020, Value("20030101-20030131")}}),
            start + " AND StudyDate Between '20030101' And '20030131'" +
                kTail);
  EXPECT_EQ(Statement({{0x0008, 0x0020, Value("20030115-20030115")}}),
            start + " AND StudyDate = '20030115'" + kTail);
  EXPECT_EQ(Statement({{0x0008, 0x0020, Value("20030115")}}),
            start + " And StudyDate = '20030115'" + kTail);
  // A range that cannot be split leaves the study date out; the next keys
  // are still matched.
  EXPECT_EQ(Statement({{0x0008, 0x0020, Value("20030101\\20030102")},
                       {kPatient, kSex, Value("F")}}),
            start + " AND PATGeschlecht = 'F'" + kTail);
}

TEST(StudyStatementTest, StudyAttributeKeysInTheirOrder) {
  EXPECT_EQ(
      Statement({{0x0019, 0x0011, Value("1")},
                 {0x0018, 0x0015, Value("CH*")},
                 {0x0008, 0x1030, Value("em*")},
                 {0x0008, 0x0090, Value("Schmi")},
                 {0x0008, 0x0060, Value("C*")},
                 {0x0008, 0x0050, Value("A*1")},
                 {kPatient, kSex, Value("F")}}),
      std::string(kHead) +
          "PATID1 Like '%' And PATNachname LIKE '%'  AND PATGeschlecht = 'F' "
          "AND Accession LIKE 'A%1' AND Modality LIKE 'C%' AND "
          "(UeberweiserName LIKE '%Schmi%' OR UeberweiserName = '' OR "
          "UeberweiserName is NULL OR UeberweiserName = 'Unknown') AND "
          "StudyDescription LIKE 'em%' AND Bodypart LIKE 'CH%' AND KeyStudy "
          "= 1" +
          kTail);
}

// Every quoted key: a value with an apostrophe gives the statement of the
// same value without it, apart from the doubled apostrophe in its literal.
TEST(StudyStatementTest, ApostrophesInEveryQuotedKeyStayInsideTheLiteral) {
  const Key keys[] = {
      {kPatient, kId, Value("x")},         {kPatient, kSex, Value("x")},
      {0x0008, 0x0050, Value("x")},        {0x0008, 0x0060, Value("x")},
      {0x0008, 0x0090, Value("x")},        {0x0008, 0x1030, Value("x")},
      {0x0018, 0x0015, Value("x")},        {0x0008, 0x0020, Value("x")},
  };
  for (const Key& key : keys) {
    std::string plain = Statement({{key.group, key.element, Value("ab")}});
    std::string quoted =
        Statement({{key.group, key.element, Value("a' OR 'b")}});
    std::string::size_type at = quoted.find("a'' OR ''b");
    ASSERT_NE(at, std::string::npos) << quoted;
    EXPECT_EQ(quoted.replace(at, 10, "ab"), plain);
  }
  EXPECT_EQ(Statement({{kPatient, kName, Value("a'b^c'd")}}),
            std::string(kHead) +
                "PATID1 Like '%' And PATNachname = 'a\xC2\xB4" "b'  And "
                "PATVorname = 'c\xC2\xB4" "d' " +
                kTail);
}

}  // namespace
}  // namespace vantor
