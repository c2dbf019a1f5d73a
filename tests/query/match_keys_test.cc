#include "query/match_keys.h"

#include <gtest/gtest.h>

#include "host/base/failure.h"

namespace vantor {
namespace {

TEST(MatchKeysTest, WildcardConversionsReplaceEveryOccurrence) {
  EXPECT_EQ(SternProzent("*a**b*"), "%a%%b%");
  EXPECT_EQ(SternProzent("a?b"), "a?b");
  EXPECT_EQ(FragezeichenUnterstrich("??a?"), "__a_");
  EXPECT_EQ(FragezeichenUnterstrich("a*b"), "a*b");
  EXPECT_EQ(SternProzent(""), "");
}

TEST(MatchKeysTest, NameApostrophesBecomeAcuteAccents) {
  EXPECT_EQ(AcuteApostrophes("O'Brien"), "O\xC2\xB4" "Brien");
  EXPECT_EQ(AcuteApostrophes("''"), "\xC2\xB4\xC2\xB4");
  EXPECT_EQ(RemoveBrackets("M[ae]yer]["), "Maeyer");
}

TEST(MatchKeysTest, PrepareName) {
  struct Case {
    Value key;
    bool siemens;
    const char* last;
    const char* first;
  };
  const Case cases[] = {
      {Value(), false, "%", ""},  // no name key matches every last name
      {Value(""), false, "%", ""},
      {Value("Meyer^Anna^Lena"), false, "Meyer", "Anna"},
      {Value("Meyer^"), false, "Meyer", ""},
      {Value("^Anna"), false, "", "Anna"},
      {Value("Meyer"), false, "Meyer", ""},
      {Value("Mey*r"), false, "Mey%r", ""},
      {Value("M?yer^A*"), false, "M_yer", "A%"},
      {Value("M[ae]yer"), false, "Maeyer", ""},
      {Value("[]"), false, "", ""},
      // A "Last, First" node matches the last name as a prefix only.
      {Value("Meyer, Anna"), true, "Meyer%", ""},
      {Value("Mey?r, Anna^X"), true, "Mey_r%", ""},
      {Value("Meyer^Anna"), true, "Meyer", "Anna"},
      {Value("Meyer, Anna"), false, "Meyer, Anna", ""},
      {Value("O'Brien^Se'an"), false, "O'Brien", "Se'an"},
  };
  for (const Case& c : cases) {
    PreparedName name = PrepareName(c.key, c.siemens);
    EXPECT_EQ(name.last, c.last) << c.key.ToText();
    EXPECT_EQ(name.first, c.first) << c.key.ToText();
  }
}

TEST(MatchKeysTest, UniqueKeyMatchesOneUidOrAList) {
  auto condition = [](std::string_view value) {
    std::string sql;
    AppendUniqueKey(sql, "StudyUID", value);
    return sql;
  };
  EXPECT_EQ(condition(""), "");
  EXPECT_EQ(condition("*"), "");  // universal matching
  EXPECT_EQ(condition("1.2.3"), " AND StudyUID = '1.2.3'");
  EXPECT_EQ(condition(" 1.2.3 "), " AND StudyUID = '1.2.3'");
  EXPECT_EQ(condition("1.2\\1.3\\"), " AND StudyUID IN ('1.2', '1.3')");
  EXPECT_EQ(condition("1' OR '1'='1"), " AND StudyUID = '1'' OR ''1''=''1'");
}

TEST(MatchKeysTest, InternalPatientKeyTakesWholeNumbersOnly) {
  EXPECT_EQ(InternalPatientKey("00123"), 123);
  EXPECT_EQ(InternalPatientKey(" 42 "), 42);
  EXPECT_EQ(InternalPatientKey("-7"), -7);
  EXPECT_EQ(InternalPatientKey("2147483647"), 2147483647);
  for (const char* bad : {"", " ", "-", "12a", "12.5", "1e3", "0x10",
                          "1 OR 1=1", "1; DELETE FROM tblStudies"}) {
    try {
      InternalPatientKey(bad);
      ADD_FAILURE() << '"' << bad << "\" was taken as a key";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kTypeMismatch) << bad;
    }
  }
  try {
    InternalPatientKey("2147483648");
    ADD_FAILURE() << "no overflow";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), kOverflow);
  }
}

}  // namespace
}  // namespace vantor
