#include "query/date_keys.h"

#include <gtest/gtest.h>

#include "host/base/failure.h"

namespace vantor {
namespace {

TEST(DateKeysTest, FormatDateWithPattern) {
  const Date d{1965, 3, 3};
  EXPECT_EQ(FormatDate(d, ""), "19650303");
  EXPECT_EQ(FormatDate(d, "YYYYMMDD"), "19650303");
  EXPECT_EQ(FormatDate(d, "YYYY-MM-DD"), "1965-03-03");
  EXPECT_EQ(FormatDate(d, "dd.mm.yyyy"), "03.03.1965");
  EXPECT_EQ(FormatDate(d, "MM/DD/YYYY x"), "03/03/1965 x");
}

TEST(DateKeysTest, ReadDate) {
  EXPECT_EQ(ReadDate("2003-01-15"), (Date{2003, 1, 15}));
  EXPECT_EQ(ReadDate("2003/1/5"), (Date{2003, 1, 5}));
  EXPECT_EQ(ReadDate("15.01.2003"), (Date{2003, 1, 15}));
  EXPECT_EQ(ReadDate("2004-02-29"), (Date{2004, 2, 29}));
  for (const char* bad :
       {"", "20030115", "2003-02-29", "2003-13-01", "2003-00-10",
        "2003-01-32", "2003-01", "2003-01-15x", "19--19", "2003-01/15",
        "1.1.03"}) {
    EXPECT_FALSE(ReadDate(bad).has_value()) << bad;
  }
}

TEST(DateKeysTest, RewriteDicomDate) {
  EXPECT_EQ(RewriteDicomDate("20030115"), "2003-01-15");
  EXPECT_EQ(RewriteDicomDate("19"), "19--19");
  EXPECT_EQ(RewriteDicomDate(""), "--");
}

TEST(DateKeysTest, BirthDateThatCannotBeReadFails) {
  // An open range is short enough to count as a single date, and is none.
  for (const char* bad : {"19650101-", "-19651231", "1965", "19650101\\1966",
                          "19650101-1966", "1965XX01-19651231"}) {
    EXPECT_THROW(BirthDateMatch(Value(bad), ""), Failure) << bad;
  }
}

TEST(DateKeysTest, StudyDateForms) {
  std::optional<DateMatch> m;
  // A bound that is already a date is not rewritten.
  m = StudyDateMatch(Value("20030101-2003-01-31"), "DD.MM.YYYY");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->lower, "01.01.2003");
  EXPECT_EQ(m->upper, "31.01.2003");

  // A single value that is no date is written as received.
  m = StudyDateMatch(Value("20030101-"), "YYYY-MM-DD");
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->range);
  EXPECT_EQ(m->lower, "20030101-");

  // A range that cannot be taken apart gives no condition.
  EXPECT_FALSE(StudyDateMatch(Value("20030101\\20030102"), ""));
  EXPECT_FALSE(StudyDateMatch(Value("2003AB01-20030131"), ""));
}

}  // namespace
}  // namespace vantor
