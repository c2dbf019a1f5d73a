#include "web/http/media_type.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantor {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

std::vector<std::string> Names(const std::vector<MediaType>& ranges) {
  std::vector<std::string> names;
  for (const MediaType& range : ranges) names.push_back(range.full());
  return names;
}

TEST(MediaTypeTest, ReadsTypeSubtypeAndQuotedParameters) {
  std::optional<MediaType> media = ParseMediaType(
      "multipart/related; type=\"application/dicom\"; boundary=\"a b\"");
  ASSERT_TRUE(media);
  EXPECT_EQ(media->type, "multipart");
  EXPECT_EQ(media->subtype, "related");
  EXPECT_EQ(media->full(), "multipart/related");
  EXPECT_THAT(media->params, ElementsAre(Pair("type", "application/dicom"),
                                         Pair("boundary", "a b")));
  EXPECT_EQ(media->param("boundary"), "a b");
  EXPECT_EQ(media->param("BOUNDARY"), "a b");
  EXPECT_EQ(media->param("start"), "");
  EXPECT_EQ(media->q, 1.0);
}

TEST(MediaTypeTest, NamesInAnyCaseValuesAsWritten) {
  std::optional<MediaType> media = ParseMediaType(
      "Multipart/RELATED; TYPE=\"Application/DICOM\"; Boundary=AbC;"
      "transfer-syntax=1.2.840.10008.1.2.1");
  ASSERT_TRUE(media);
  EXPECT_EQ(media->full(), "multipart/related");
  EXPECT_THAT(
      media->params,
      ElementsAre(Pair("type", "Application/DICOM"), Pair("boundary", "AbC"),
                  Pair("transfer-syntax", "1.2.840.10008.1.2.1")));
}

TEST(MediaTypeTest, QuotedStringsKeepTheirEscapedCharacters) {
  std::optional<MediaType> media =
      ParseMediaType(R"(text/plain; a="x\"y\\z"; b="semi;colon, comma"; c="")");
  ASSERT_TRUE(media);
  EXPECT_THAT(media->params,
              ElementsAre(Pair("a", "x\"y\\z"), Pair("b", "semi;colon, comma"),
                          Pair("c", "")));
}

TEST(MediaTypeTest, BlanksAndEmptyParameters) {
  for (const char* text :
       {"text/plain;charset=utf-8", "  text/plain ; charset = utf-8  ",
        "text/plain;\tcharset=utf-8;", "text/plain; ; charset=utf-8 ;;"}) {
    std::optional<MediaType> media = ParseMediaType(text);
    ASSERT_TRUE(media) << text;
    EXPECT_EQ(media->full(), "text/plain") << text;
    EXPECT_THAT(media->params, ElementsAre(Pair("charset", "utf-8"))) << text;
  }
  std::optional<MediaType> media = ParseMediaType("application/dicom");
  ASSERT_TRUE(media);
  EXPECT_TRUE(media->params.empty());
}

// Viewers write the part's type without quotes, slash and all.
TEST(MediaTypeTest, UnquotedMediaTypeAsParameterValue) {
  const auto accept = ParseAccept(
      "multipart/related; type=application/octet-stream; transfer-syntax=*");
  ASSERT_EQ(accept.size(), 1u);
  EXPECT_EQ(accept[0].full(), "multipart/related");
  EXPECT_EQ(accept[0].param("type"), "application/octet-stream");
  EXPECT_EQ(accept[0].param("transfer-syntax"), "*");
}

TEST(MediaTypeTest, MalformedTypesAreRejected) {
  for (const char* text : {"",
                           " ",
                           "text",
                           "text/",
                           "/plain",
                           "text /plain",
                           "text/ plain",
                           "text plain",
                           "text/plain x=1",
                           "text/plain; x",
                           "text/plain; x=",
                           "text/plain; =x",
                           "text/plain; x=\"abc",
                           "text/plain; x=\"a\\",
                           "text/plain; x=a b",
                           "text/plain; x=\"a\x01\"",
                           "text/pl\x7f",
                           "text/plain; x=a,b",
                           "te(x)t/plain",
                           "text/plain/more"}) {
    EXPECT_FALSE(ParseMediaType(text)) << text;
  }
}

TEST(MediaTypeTest, AcceptIsSortedByWeightOrderKept) {
  std::vector<MediaType> ranges = ParseAccept(
      "application/dicom+json;q=0.5, multipart/related; "
      "type=\"application/dicom\"; q=0.9, application/json, "
      "image/*;q=0.5, */*;q=0.1, text/html;q=0");
  EXPECT_THAT(Names(ranges),
              ElementsAre("application/json", "multipart/related",
                          "application/dicom+json", "image/*", "*/*"));
  EXPECT_EQ(ranges[0].q, 1.0);
  EXPECT_DOUBLE_EQ(ranges[1].q, 0.9);
  EXPECT_THAT(ranges[1].params, ElementsAre(Pair("type", "application/dicom")));
  EXPECT_DOUBLE_EQ(ranges[4].q, 0.1);
}

TEST(MediaTypeTest, AcceptWeights) {
  struct Case {
    const char* q;
    double weight;  // < 0: the entry is dropped
  };
  for (const Case& c : std::vector<Case>{{"1", 1},
                                         {"1.0", 1},
                                         {"1.000", 1},
                                         {"0.5", 0.5},
                                         {"0.123", 0.123},
                                         {"0.", -1},
                                         {"0.001", 0.001},
                                         {".2", 0.2},
                                         {"0", -1},
                                         {"0.000", -1},
                                         {"1.001", -1},
                                         {"2", -1},
                                         {"0.1234", -1},
                                         {"-1", -1},
                                         {"x", -1},
                                         {".", -1},
                                         {"01", -1},
                                         {"\"0.5\"", 0.5}}) {
    std::vector<MediaType> ranges =
        ParseAccept(std::string("application/json; q=") + c.q);
    if (c.weight < 0) {
      EXPECT_TRUE(ranges.empty()) << c.q;
    } else {
      ASSERT_EQ(ranges.size(), 1u) << c.q;
      EXPECT_DOUBLE_EQ(ranges[0].q, c.weight) << c.q;
      EXPECT_TRUE(ranges[0].params.empty()) << c.q;
    }
  }
}

TEST(MediaTypeTest, EmptyAcceptIsAnything) {
  for (const char* text : {"", "  "}) {
    std::vector<MediaType> ranges = ParseAccept(text);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].full(), "*/*");
    EXPECT_EQ(ranges[0].q, 1.0);
  }
}

TEST(MediaTypeTest, AcceptSkipsMalformedAndEmptyEntries) {
  EXPECT_THAT(Names(ParseAccept(",, application/json ,bad, */dicom,"
                                "text/plain; x=\"a,b\", image/jpeg;q=x")),
              ElementsAre("application/json", "text/plain"));
  EXPECT_TRUE(ParseAccept("bad, worse").empty());
  EXPECT_TRUE(ParseAccept("text/html;q=0").empty());
  // Old Java clients send a lone "*".
  EXPECT_THAT(Names(ParseAccept("text/html, image/gif, *; q=.2, */*; q=.2")),
              ElementsAre("text/html", "image/gif", "*/*", "*/*"));
}

TEST(MediaTypeTest, RangesMatch) {
  auto range = [](const char* text) { return *ParseMediaType(text); };
  struct Case {
    const char* range;
    const char* type;
    bool matches;
  };
  for (const Case& c : std::vector<Case>{
           {"*/*", "application/dicom", true},
           {"*/*", "image/jpeg", true},
           {"image/*", "image/jpeg", true},
           {"IMAGE/*", "image/JPEG", true},
           {"image/*", "application/dicom", false},
           {"image/jpeg", "image/jpeg", true},
           {"image/jpeg", "Image/Jpeg", true},
           {"image/jpeg", "image/jp2", false},
           {"application/dicom", "application/dicom; transfer-syntax=*", true},
           {"application/dicom;transfer-syntax=1.2", "application/dicom", true},
           {"*/dicom", "application/dicom", false},
           {"*/*", "nonsense", false},
           {"*/*", "", false},
           {"image/*", "image/", false},
       }) {
    EXPECT_EQ(MediaRangeMatches(range(c.range), c.type), c.matches)
        << c.range << " " << c.type;
  }
}

}  // namespace
}  // namespace vantor
