#include <gtest/gtest.h>

#include "host/base/failure.h"
#include "query/patient_query.h"
#include "tests/query/query_test_util.h"

namespace vantor {
namespace {

constexpr char kHead[] = "SELECT * FROM VIEW_Patienten_Standard WHERE ";
constexpr char kTail[] =
    " ORDER BY PatNachname, PatVorname, PatGebDatum, PATID1;";

std::string Statement(std::initializer_list<Key> keys,
                      const char* date_format = "YYYYMMDD") {
  return PatientStatement(Identifier(keys), date_format);
}

TEST(PatientStatementTest, EmptyIdentifier) {
  EXPECT_EQ(Statement({}),
            "SELECT * FROM VIEW_Patienten_Standard WHERE PATNachname Like '%'  "
            "ORDER BY PatNachname, PatVorname, PatGebDatum, PATID1;");
}

TEST(PatientStatementTest, NameComponents) {
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer^Anna^Lena")}}),
            std::string(kHead) +
                "PATNachname = 'Meyer' And PATVorname = 'Anna' And "
                "PAT2Vorname = 'Lena' " +
                kTail);
  // A second first name without a first name is not matched.
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer^^Lena")}}),
            std::string(kHead) + "PATNachname = 'Meyer' " + kTail);
  // A name beginning with "^" matches an empty last name.
  EXPECT_EQ(Statement({{kPatient, kName, Value("^Anna")}}),
            std::string(kHead) + "PATNachname = '' And PATVorname = 'Anna' " +
                kTail);
  // Wildcards make LIKE only in the component that holds them.
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer^A*^L?na")}}),
            std::string(kHead) +
                "PATNachname = 'Meyer' And PATVorname Like 'A%' And "
                "PAT2Vorname Like 'L_na' " +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kName, Value("M[ae]yer")}}),
            std::string(kHead) + "PATNachname = 'Maeyer' " + kTail);
}

TEST(PatientStatementTest, NamesAreNotSplitAtTheComma) {
  // The patient level ignores the "Last, First" form of a node.
  EXPECT_EQ(Statement({{kPatient, kName, Value("Meyer, Anna")}}),
            std::string(kHead) + "PATNachname = 'Meyer, Anna' " + kTail);
}

TEST(PatientStatementTest, ApostrophesInNamesAndIds) {
  EXPECT_EQ(Statement({{kPatient, kName, Value("D'Arcy^J'o")}}),
            std::string(kHead) + "PATNachname = 'D\xC2\xB4" "Arcy' And "
                                 "PATVorname = 'J\xC2\xB4" "o' " +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kId, Value("x' OR '1'='1")}}),
            std::string(kHead) +
                "PATNachname Like '%' And PATID1 = 'x'' OR ''1''=''1' " +
                kTail);
}

TEST(PatientStatementTest, PatientIdAndBirthDate) {
  EXPECT_EQ(Statement({{kPatient, kId, Value("12?")}}),
            std::string(kHead) + "PATNachname Like '%' And PATID1 Like '12_' " +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kId, Value("P1")},
                       {kPatient, kBirth, Value("19650101-19651231")}}),
            std::string(kHead) +
                "PATNachname Like '%' And PATID1 = 'P1'  And PATGebDatum "
                "Between '19650101' And '19651231'" +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19650303")}}, "YYYY-MM-DD"),
            std::string(kHead) +
                "PATNachname Like '%'  And PATGebDatum = '1965-03-03' " +
                kTail);
  EXPECT_EQ(Statement({{kPatient, kBirth, Value("19650303-19650303")}}),
            std::string(kHead) +
                "PATNachname Like '%'  And PATGebDatum = '19650303' " + kTail);
  EXPECT_THROW(Statement({{kPatient, kBirth, Value("-19651231")}}), Failure);
}

TEST(PatientStatementTest, EmergencyStatement) {
  EXPECT_EQ(EmergencyStatement(17),
            "Select FKeyStatusID from tblStudies where FKeyPATID = 17 And "
            "StudyDescription Like 'EM:%'");
}

}  // namespace
}  // namespace vantor
