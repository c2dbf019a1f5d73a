#include "host/base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace vantor {
namespace {

TEST(TextTest, UpperCaseChangesOnlyAsciiLetters) {
  struct Case {
    const char* text;
    const char* upper;
  };
  const Case cases[] = {
      {"", ""},
      {"ct", "CT"},
      {"Mr-01 x", "MR-01 X"},
      {"az{`@[", "AZ{`@["},
      {"\xe4\xf6", "\xe4\xf6"},  // bytes above 127 stay as they are
  };
  for (const Case& c : cases) EXPECT_EQ(UpperCase(c.text), c.upper) << c.text;
}

TEST(TextTest, LowerCaseChangesOnlyAsciiLetters) {
  EXPECT_EQ(LowerCase(""), "");
  EXPECT_EQ(LowerCase("HKLM\\Software\\Tavik"), "hklm\\software\\tavik");
  EXPECT_EQ(LowerCase("AZ{`@[_"), "az{`@[_");
  EXPECT_EQ(LowerCase("\xc4\xd6"), "\xc4\xd6");  // bytes above 127 stay
}

TEST(TextTest, ComparisonsIgnoreTheCaseOfLettersOnly) {
  struct Case {
    const char* a;
    const char* b;
    bool equal, starts, contains;
  };
  const Case cases[] = {
      {"", "", true, true, true},
      {"SQLite", "sqlite", true, true, true},
      {"sqlite:/a.db", "SQLITE:", false, true, true},
      {"PostgreSQL 15", "postgres", false, true, true},
      {"Microsoft SQL Server", "sql", false, false, true},
      {"ab", "abc", false, false, false},
      {"a@", "A`", false, false, false},  // '@' and '`' are no letters
      {"EM: Notfall", "em:", false, true, true},
      {"E", "em:", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(EqualsIgnoringCase(c.a, c.b), c.equal);
    EXPECT_EQ(StartsWithIgnoringCase(c.a, c.b), c.starts);
    EXPECT_EQ(ContainsIgnoringCase(c.a, c.b), c.contains);
  }
}

TEST(TextTest, AllDigitsWantsAtLeastOneDigitAndNothingElse) {
  struct Case {
    const char* text;
    bool digits;
  };
  const Case cases[] = {{"", false},     {"0", true},     {"0123456789", true},
                        {"12a", false},  {" 1", false},   {"-1", false},
                        {"1.5", false},  {"/", false},    {":", false}};
  for (const Case& c : cases) EXPECT_EQ(AllDigits(c.text), c.digits) << c.text;
}

}  // namespace
}  // namespace vantor
