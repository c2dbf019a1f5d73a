#include "web/http/query_string.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "host/base/failure.h"

namespace vantor {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

TEST(QueryStringTest, SplitsAndDecodes) {
  EXPECT_THAT(
      ParseQueryString("PatientName=M%C3%BCller%5E*&limit=10&includefield="
                       "StudyDate%2cPatientID&a+b=c+d%2B&flag&=v&x=1=2"),
      ElementsAre(Pair("PatientName", "M\xC3\xBCller^*"), Pair("limit", "10"),
                  Pair("includefield", "StudyDate,PatientID"),
                  Pair("a b", "c d+"), Pair("flag", ""), Pair("", "v"),
                  Pair("x", "1=2")));
}

TEST(QueryStringTest, RepeatedNamesKeptInOrderEmptyPairsSkipped) {
  EXPECT_THAT(
      ParseQueryString("&includefield=a&&includefield=b;c&"),
      ElementsAre(Pair("includefield", "a"), Pair("includefield", "b;c")));
  EXPECT_THAT(ParseQueryString(""), IsEmpty());
  EXPECT_THAT(ParseQueryString("&&"), IsEmpty());
}

TEST(QueryStringTest, SqlIsJustText) {
  EXPECT_THAT(ParseQueryString("PatientID=%27%3B%20DROP%20TABLE%20x%3B--"),
              ElementsAre(Pair("PatientID", "'; DROP TABLE x;--")));
}

TEST(QueryStringTest, BadEscapesAndNulFail) {
  for (const char* query : {"a=%zz", "a=%4", "a=%", "a=%4g", "%zz=1",
                            "a=1&b=%0", "a=%00", "a%00=1", "a=x%00y"}) {
    try {
      ParseQueryString(query);
      ADD_FAILURE() << query << " was read";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), 5) << query;
      EXPECT_STREQ(failure.what(), "Invalid procedure call or argument");
    }
  }
}

TEST(QueryStringTest, PathSegmentsKeepThePlus) {
  EXPECT_EQ(PercentDecodePath("1.2.3+4%2E5"), "1.2.3+4.5");
  EXPECT_EQ(PercentDecodePath(""), "");
  EXPECT_THROW(PercentDecodePath("1.2%zz"), Failure);
  EXPECT_THROW(PercentDecodePath("1.2%0"), Failure);
  EXPECT_THROW(PercentDecodePath("%00"), Failure);
}

}  // namespace
}  // namespace vantor
