#include "web/qido_params.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/base/failure.h"
#include "web/http/query_string.h"

namespace vantor {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

constexpr Tag kPatientName{0x0010, 0x0010};
constexpr Tag kPatientID{0x0010, 0x0020};
constexpr Tag kStudyDate{0x0008, 0x0020};
constexpr Tag kModalitiesInStudy{0x0008, 0x0061};
constexpr Tag kStudyInstanceUID{0x0020, 0x000D};

// Knows a few keywords (case-sensitively) and upper-case hex tags of them;
// records what it was asked.
struct Resolver {
  std::vector<std::string> asked;
  TagResolver Get() {
    return [this](std::string_view name, Tag& tag) {
      asked.emplace_back(name);
      static const std::map<std::string, Tag, std::less<>> kKnown = {
          {"PatientName", kPatientName},
          {"PatientID", kPatientID},
          {"StudyDate", kStudyDate},
          {"ModalitiesInStudy", kModalitiesInStudy},
          {"StudyInstanceUID", kStudyInstanceUID},
          {"00100010", kPatientName},
          {"00100020", kPatientID},
          {"00080020", kStudyDate},
          {"0020000D", kStudyInstanceUID},
      };
      auto it = kKnown.find(name);
      if (it == kKnown.end()) return false;
      tag = it->second;
      return true;
    };
  }
};

std::string Repeated(std::string_view text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

QidoQuery Parse(std::string_view query) {
  Resolver resolver;
  return ParseQidoQuery(ParseQueryString(query), resolver.Get());
}

// The reason the query is refused for; "" when it is read.
std::string Refusal(std::string_view query) {
  try {
    Parse(query);
    return "";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), 5) << query;
    return failure.what();
  }
}

TEST(QidoParamsTest, MatchingKeysInOrderWithTheirValues) {
  QidoQuery query = Parse(
      "PatientName=M%C3%BCller*&StudyDate=20200101-20201231&PatientID="
      "&ModalitiesInStudy=CT%5CMR&0020000d=1.2.3");
  EXPECT_THAT(query.matches, ElementsAre(Pair(kPatientName, "M\xC3\xBCller*"),
                                         Pair(kStudyDate, "20200101-20201231"),
                                         Pair(kPatientID, ""),
                                         Pair(kModalitiesInStudy, "CT\\MR"),
                                         Pair(kStudyInstanceUID, "1.2.3")));
  EXPECT_THAT(query.include_fields, IsEmpty());
  EXPECT_FALSE(query.include_all);
  EXPECT_EQ(query.limit, 0);
  EXPECT_EQ(query.offset, 0);
  EXPECT_FALSE(query.fuzzy);
  EXPECT_THAT(Parse("").matches, IsEmpty());
}

TEST(QidoParamsTest, WildcardsAndSqlAreKeptVerbatim) {
  const std::vector<std::string> values = {"'; DROP TABLE x;--",
                                           "Smith^J?hn*",
                                           "a\\b",
                                           "%_[",
                                           "\"quoted\"",
                                           "1' OR '1'='1",
                                           std::string(1024, 'x'),
                                           Repeated("\xC3\xBC", 1024)};
  for (const std::string& value : values) {
    Resolver resolver;
    QidoQuery query = ParseQidoQuery({{"PatientName", value}}, resolver.Get());
    EXPECT_THAT(query.matches, ElementsAre(Pair(kPatientName, value)));
  }
}

TEST(QidoParamsTest, HexTagsInAnyCase) {
  EXPECT_THAT(Parse("0020000d=1&00100020=2&includefield=0020000d").matches,
              ElementsAre(Pair(kStudyInstanceUID, "1"), Pair(kPatientID, "2")));
  EXPECT_EQ(Refusal("0020000d=1&0020000D=2"),
            "attribute '0020000D' is given twice");
}

TEST(QidoParamsTest, ResolverSeesUpperCaseHexAndKeywordsUnchanged) {
  Resolver resolver;
  EXPECT_NO_THROW(ParseQidoQuery(
      {{"0020000d", "1"}, {"PatientName", "x"}, {"includefield", "00080020"}},
      resolver.Get()));
  EXPECT_THAT(resolver.asked,
              ElementsAre("0020000D", "PatientName", "00080020"));
  EXPECT_EQ(Refusal("patientname=x"), "unknown attribute 'patientname'");
  EXPECT_EQ(Refusal("PATIENTNAME=x"), "unknown attribute 'PATIENTNAME'");
}

TEST(QidoParamsTest, IncludeFields) {
  QidoQuery query = Parse(
      "includefield=PatientName,%20StudyDate&includefield=00100020"
      "&includefield=PatientName&includefield=&includefield=StudyDate,,");
  EXPECT_THAT(query.include_fields,
              ElementsAre(kPatientName, kStudyDate, kPatientID));
  EXPECT_FALSE(query.include_all);
  query = Parse("includefield=all&includefield=StudyDate");
  EXPECT_TRUE(query.include_all);
  EXPECT_THAT(query.include_fields, ElementsAre(kStudyDate));
  query = Parse("includefield=StudyDate,all&PatientName=x");
  EXPECT_TRUE(query.include_all);
  EXPECT_THAT(query.matches, ElementsAre(Pair(kPatientName, "x")));
  EXPECT_EQ(Refusal("includefield=StudyDate,Foo"), "unknown attribute 'Foo'");
  EXPECT_EQ(Refusal("includefield=ALL"), "unknown attribute 'ALL'");
}

TEST(QidoParamsTest, LimitOffsetAndFuzzyMatching) {
  QidoQuery query =
      Parse("limit=25&offset=0100&fuzzymatching=true&PatientName=a");
  EXPECT_EQ(query.limit, 25);
  EXPECT_EQ(query.offset, 100);
  EXPECT_TRUE(query.fuzzy);
  EXPECT_FALSE(Parse("fuzzymatching=false").fuzzy);
  EXPECT_EQ(Parse("limit=2147483647").limit, 2147483647);
  EXPECT_EQ(Parse("offset=0").offset, 0);
  // The reserved names are taken in any case.
  query = Parse("Limit=3&OFFSET=4&FuzzyMatching=TRUE&IncludeField=StudyDate");
  EXPECT_EQ(query.limit, 3);
  EXPECT_EQ(query.offset, 4);
  EXPECT_TRUE(query.fuzzy);
  EXPECT_THAT(query.include_fields, ElementsAre(kStudyDate));
}

TEST(QidoParamsTest, RefusedQueries) {
  const std::string limit = "limit must be a whole number from 0 to 2147483647";
  const std::string offset =
      "offset must be a whole number from 0 to 2147483647";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Foo=1", "unknown attribute 'Foo'"},
      {"PatientName=a&Foo=", "unknown attribute 'Foo'"},
      {"=x", "unknown attribute ''"},
      {"Patient%20Name=x", "unknown attribute 'Patient Name'"},
      {"Patient%0AName=x", "unknown attribute 'Patient?Name'"},
      {"0010002=x", "unknown attribute '0010002'"},
      {"001000200=x", "unknown attribute '001000200'"},
      {"00081110.00081150=1.2",
       "sequence attribute paths such as '00081110.00081150' are not "
       "supported"},
      {"ReferencedSOPSequence.ReferencedSOPClassUID=1",
       "sequence attribute paths such as "
       "'ReferencedSOPSequence.ReferencedSOPClassUID' are not supported"},
      {"includefield=00081110.00081150",
       "sequence attribute paths such as '00081110.00081150' are not "
       "supported"},
      {"limit=", limit},
      {"limit=-1", limit},
      {"limit=%2B1", limit},
      {"limit=1.5", limit},
      {"limit=ten", limit},
      {"limit=%2010", limit},
      {"limit=2147483648", limit},
      {"limit=99999999999999999999999", limit},
      {"offset=-5", offset},
      {"offset=0x10", offset},
      {"limit=1&limit=2", "limit is given twice"},
      {"offset=1&Offset=1", "offset is given twice"},
      {"fuzzymatching=yes", "fuzzymatching must be true or false"},
      {"fuzzymatching=", "fuzzymatching must be true or false"},
      {"fuzzymatching=1", "fuzzymatching must be true or false"},
      {"fuzzymatching=true&fuzzymatching=true", "fuzzymatching is given twice"},
      {"PatientName=a&PatientName=b", "attribute 'PatientName' is given twice"},
      {"PatientName=a&00100010=b", "attribute '00100010' is given twice"},
      {"PatientName=" + std::string(1025, 'x'),
       "the value of 'PatientName' is longer than 1024 characters"},
      {"PatientName=" + std::string(100, 'x') + "%C3%BC" +
           std::string(924, 'x'),
       "the value of 'PatientName' is longer than 1024 characters"},
      {"PatientName=a" + Repeated("%80", 4096),
       "the value of 'PatientName' is longer than 1024 characters"},
  };
  for (const auto& [query, reason] : cases)
    EXPECT_EQ(Refusal(query), reason) << query;
}

TEST(QidoParamsTest, LongNamesAreCutInTheReason) {
  EXPECT_EQ(Refusal(std::string(100, 'A') + "=1"),
            "unknown attribute '" + std::string(64, 'A') + "...'");
}

TEST(QidoParamsTest, NoResolverKnowsNothing) {
  EXPECT_THROW(ParseQidoQuery({{"PatientName", "x"}}, TagResolver()), Failure);
  EXPECT_EQ(ParseQidoQuery({{"limit", "5"}}, TagResolver()).limit, 5);
}

}  // namespace
}  // namespace vantor
