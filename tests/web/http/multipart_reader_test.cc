#include "web/http/multipart_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vantor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

const std::string kBoundary = "b0und4ry";

struct ReadPart {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool ended = false;
  bool operator==(const ReadPart&) const = default;
};

struct Outcome {
  bool fed = true;       // every Feed() returned true
  bool finished = true;  // Finish() returned true
  std::string error;
  std::vector<ReadPart> parts;
  size_t counted = 0;  // parts()
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "fed=" << o.fed << " finished=" << o.finished << " error=\"" << o.error
      << "\" parts=" << o.parts.size() << " counted=" << o.counted;
  for (const ReadPart& p : o.parts) *os << " [" << p.body.size() << "]";
}

MultipartReader::Events Collect(std::vector<ReadPart>& parts) {
  MultipartReader::Events events;
  events.begin = [&parts](const MultipartReader::Part& part) {
    parts.push_back(ReadPart{part.headers, "", false});
    return true;
  };
  events.data = [&parts](std::string_view data) {
    EXPECT_FALSE(data.empty());
    EXPECT_FALSE(parts.empty());
    if (parts.empty() || parts.back().ended) return false;
    parts.back().body.append(data);
    return true;
  };
  events.end = [&parts]() {
    if (parts.empty() || parts.back().ended) return false;
    parts.back().ended = true;
    return true;
  };
  return events;
}

// Reads `body` fed in the pieces `sizes` cuts it into (the rest as one
// last piece).
Outcome Read(std::string_view body, const std::vector<size_t>& sizes = {},
             const std::string& boundary = kBoundary,
             size_t max_header_bytes = 16384) {
  Outcome out;
  MultipartReader reader(boundary, Collect(out.parts), max_header_bytes);
  size_t at = 0;
  for (size_t size : sizes) {
    size = std::min(size, body.size() - at);
    if (!reader.Feed(body.substr(at, size))) out.fed = false;
    at += size;
  }
  if (!reader.Feed(body.substr(at))) out.fed = false;
  out.finished = reader.Finish();
  out.error = reader.error();
  out.counted = reader.parts();
  return out;
}

Outcome ReadBytewise(std::string_view body) {
  return Read(body, std::vector<size_t>(body.size(), 1));
}

const std::string kTwoParts =
    "preamble, ignored\r\n--b0und4ry\r\n"
    "Content-Type: application/dicom\r\n"
    "Content-Location: one\r\n"
    "\r\n"
    "first body\r\n"
    "--b0und4ry\r\n"
    "content-type: text/plain\r\n"
    "\r\n"
    "second\r\nbody\r\n"
    "--b0und4ry--\r\n"
    "epilogue, ignored";

TEST(MultipartReaderTest, ReadsPartsWithTheirHeaders) {
  Outcome out = Read(kTwoParts);
  EXPECT_TRUE(out.fed);
  EXPECT_TRUE(out.finished) << out.error;
  EXPECT_EQ(out.error, "");
  EXPECT_EQ(out.counted, 2u);
  ASSERT_EQ(out.parts.size(), 2u);
  EXPECT_THAT(out.parts[0].headers,
              ElementsAre(Pair("content-type", "application/dicom"),
                          Pair("content-location", "one")));
  EXPECT_EQ(out.parts[0].body, "first body");
  EXPECT_TRUE(out.parts[0].ended);
  EXPECT_THAT(out.parts[1].headers,
              ElementsAre(Pair("content-type", "text/plain")));
  EXPECT_EQ(out.parts[1].body, "second\r\nbody");
  EXPECT_TRUE(out.parts[1].ended);
}

TEST(MultipartReaderTest, PartGivesItsHeaders) {
  MultipartReader::Part part;
  part.headers = {{"content-location", "x"},
                  {"content-type", "application/dicom"},
                  {"content-type", "text/plain"}};
  EXPECT_EQ(part.content_type(), "application/dicom");
  EXPECT_EQ(part.header("Content-Location"), "x");
  EXPECT_EQ(part.header("content-id"), "");
  EXPECT_EQ(MultipartReader::Part().content_type(), "");
}

TEST(MultipartReaderTest, ByteByByteReadsTheSame) {
  Outcome whole = Read(kTwoParts);
  EXPECT_EQ(ReadBytewise(kTwoParts), whole);
}

TEST(MultipartReaderTest, RandomPieceSizesReadTheSame) {
  // Bodies full of near-delimiters, so that pieces end inside them.
  const std::string tricky =
      "--b0und4ry\r\n\r\n"
      "\r\n--b0und4r\r\r\n--b0und4ryX\r\n--b0und4ry-x\r\n-\r\n--\r\n--b0und4ry"
      "\rx\r\r\r\n\r\n--b0und4r"
      "\r\n--b0und4ry\r\nA: b\r\n\r\n\r\n"
      "\r\n--b0und4ry\r\n\r\n"
      "tail\r"
      "\r\n--b0und4ry--";
  for (const std::string& body : {kTwoParts, tricky}) {
    const Outcome whole = Read(body);
    ASSERT_TRUE(whole.finished) << whole.error;
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
      std::vector<size_t> sizes;
      std::uniform_int_distribution<size_t> size(1, round % 3 == 0 ? 3 : 20);
      for (size_t total = 0; total < body.size(); total += sizes.back())
        sizes.push_back(size(random));
      EXPECT_EQ(Read(body, sizes), whole) << "round " << round;
    }
  }
}

TEST(MultipartReaderTest, EveryCutInTwoOrThreeReadsTheSame) {
  const std::string body =
      "--b0und4ry\r\nContent-Type: a/b\r\n\r\nx\r\n--b0und4r\r\n--b0und4ryy"
      "\r\n--b0und4ry \t\r\n\r\n\r\r\n--b0und4ry--";
  const Outcome whole = Read(body);
  ASSERT_TRUE(whole.finished) << whole.error;
  ASSERT_EQ(whole.parts.size(), 2u);
  EXPECT_EQ(whole.parts[0].body, "x\r\n--b0und4r\r\n--b0und4ryy");
  EXPECT_EQ(whole.parts[1].body, "\r");
  for (size_t i = 0; i <= body.size(); ++i)
    for (size_t j = 0; i + j <= body.size(); ++j)
      ASSERT_EQ(Read(body, {i, j}), whole) << "cut at " << i << ", " << i + j;
}

TEST(MultipartReaderTest, DelimiterSplitAcrossPieces) {
  std::vector<ReadPart> parts;
  MultipartReader reader(kBoundary, Collect(parts));
  EXPECT_TRUE(reader.Feed("--b0un"));
  EXPECT_TRUE(reader.Feed("d4ry\r"));
  EXPECT_TRUE(reader.Feed("\n\r\nabc\r"));
  EXPECT_TRUE(reader.Feed("\n--b0"));
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].body, "abc");  // the rest may be a delimiter
  EXPECT_TRUE(reader.Feed("und4ry-"));
  EXPECT_EQ(reader.parts(), 0u);
  EXPECT_TRUE(reader.Feed("-"));
  EXPECT_EQ(reader.parts(), 1u);
  EXPECT_TRUE(reader.Finish());
  EXPECT_EQ(parts[0].body, "abc");
}

TEST(MultipartReaderTest, HeldBytesThatAreNoDelimiterComeBackInOrder) {
  std::vector<ReadPart> parts;
  MultipartReader reader(kBoundary, Collect(parts));
  EXPECT_TRUE(reader.Feed("--b0und4ry\r\n\r\nab\r\n--b0u"));
  EXPECT_TRUE(reader.Feed("nd4ry-"));
  EXPECT_TRUE(reader.Feed("x and more\r"));
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].body, "ab\r\n--b0und4ry-x and more");
  EXPECT_TRUE(reader.Feed("\r"));
  EXPECT_TRUE(reader.Feed("\n--b0und4ry--"));
  EXPECT_TRUE(reader.Finish());
  EXPECT_EQ(parts[0].body, "ab\r\n--b0und4ry-x and more\r");
}

TEST(MultipartReaderTest, BoundaryLikeTextInsideABodyIsData) {
  const std::vector<std::string> bodies = {
      "--b0und4r",         "\r\n--b0und4r",    "\r\n--b0und4rX\r\n",
      "\r\n--b0und4ryX",   "\r\n--b0und4ry-x", "\r\n--b0und4ry\rx",
      "\r\n--b0und4ry\r",
      "--b0und4ry",  // not after a CRLF
      "x\n--b0und4ry\n",   "\r\n-b0und4ry--",  "\r\n--B0UND4RY--",
      "\r\r\n--b0und4r\n",
  };
  for (const std::string& inner : bodies) {
    const std::string body =
        "--b0und4ry\r\n\r\n" + inner + "\r\n--b0und4ry--\r\n";
    for (const Outcome& out : {Read(body), ReadBytewise(body)}) {
      EXPECT_TRUE(out.finished) << out.error;
      ASSERT_EQ(out.parts.size(), 1u);
      EXPECT_EQ(out.parts[0].body, inner);
    }
  }
}

TEST(MultipartReaderTest, DelimiterAfterACarriageReturnOfTheBody) {
  const std::string body = "--b0und4ry\r\n\r\nab\r\r\n--b0und4ry--";
  Outcome out = Read(body);
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 1u);
  EXPECT_EQ(out.parts[0].body, "ab\r");
  EXPECT_EQ(ReadBytewise(body), out);
}

TEST(MultipartReaderTest, EmptyPartsAndPartsWithoutHeaders) {
  const std::string body =
      "--b0und4ry\r\n\r\n\r\n--b0und4ry\r\nA: 1\r\n\r\n\r\n--b0und4ry--";
  Outcome out = Read(body);
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 2u);
  EXPECT_TRUE(out.parts[0].headers.empty());
  EXPECT_EQ(out.parts[0].body, "");
  EXPECT_TRUE(out.parts[0].ended);
  EXPECT_THAT(out.parts[1].headers, ElementsAre(Pair("a", "1")));
  EXPECT_EQ(out.parts[1].body, "");
  EXPECT_EQ(ReadBytewise(body), out);
}

TEST(MultipartReaderTest, PreambleAndEpilogueAreIgnored) {
  const std::string body =
      "This is a preamble.\r\n--b0und4r\r\n--b0und4ryX\r\n"
      "--b0und4ry\r\n\r\nbody\r\n--b0und4ry--  \r\n"
      "epilogue\r\n--b0und4ry\r\n\r\nnot a part\r\n--b0und4ry--\r\n";
  Outcome out = Read(body);
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 1u);
  EXPECT_EQ(out.parts[0].body, "body");
  EXPECT_EQ(ReadBytewise(body), out);

  // The first delimiter after a CRLF of its own, with no preamble.
  out = Read("\r\n--b0und4ry\r\n\r\nbody\r\n--b0und4ry--");
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 1u);
  EXPECT_EQ(out.parts[0].body, "body");
}

TEST(MultipartReaderTest, HeaderLinesMayEndInABareLineFeed) {
  const std::string body =
      "--b0und4ry\nContent-Type: application/dicom\nX-Other:  two  \n\n"
      "data\n\r\n--b0und4ry\n\nmore\r\n--b0und4ry--\n";
  Outcome out = Read(body);
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 2u);
  EXPECT_THAT(out.parts[0].headers,
              ElementsAre(Pair("content-type", "application/dicom"),
                          Pair("x-other", "two")));
  EXPECT_EQ(out.parts[0].body, "data\n");
  EXPECT_EQ(out.parts[1].body, "more");
  EXPECT_EQ(ReadBytewise(body), out);
}

TEST(MultipartReaderTest, HeadersAreTrimmedLowerCasedAndUnfolded) {
  Outcome out = Read(
      "--b0und4ry\r\nCONTENT-Type:\tmultipart/related;\r\n"
      "   type=\"application/dicom\"  \r\n"
      "Empty:\r\n\r\nx\r\n--b0und4ry--");
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 1u);
  EXPECT_THAT(out.parts[0].headers,
              ElementsAre(Pair("content-type",
                               "multipart/related; type=\"application/dicom\""),
                          Pair("empty", "")));
}

TEST(MultipartReaderTest, MalformedHeadersFail) {
  for (const std::string headers :
       {"no colon\r\n", ": no name\r\n", "bad name: x\r\n", " folded first\r\n",
        "a@b: x\r\n"}) {
    Outcome out = Read("--b0und4ry\r\n" + headers + "\r\nx\r\n--b0und4ry--");
    EXPECT_FALSE(out.fed) << headers;
    EXPECT_FALSE(out.finished);
    EXPECT_EQ(out.error, "malformed part header") << headers;
    EXPECT_TRUE(out.parts.empty());
  }
}

TEST(MultipartReaderTest, TransportPaddingAfterADelimiter) {
  Outcome out = Read(
      "--b0und4ry \t \r\n\r\none\r\n--b0und4ry\t\n\r\ntwo\r\n--b0und4ry--");
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 2u);
  EXPECT_EQ(out.parts[0].body, "one");
  EXPECT_EQ(out.parts[1].body, "two");

  // Padding and then anything but the line end is no delimiter line.
  for (const std::string bad :
       {"--b0und4ry x\r\n\r\n", "--b0und4ry \rx", "--b0und4ry\t\r\r\n"}) {
    out = Read(bad + "x\r\n--b0und4ry--");
    EXPECT_FALSE(out.fed) << bad;
    EXPECT_EQ(out.error, "malformed delimiter line");
  }
}

TEST(MultipartReaderTest, MissingCloseFailsAtFinish) {
  const std::vector<std::string> bodies = {
      "--b0und4ry\r\n\r\nbody",
      "--b0und4ry\r\n\r\nbody\r\n",
      "--b0und4ry\r\n\r\nbody\r\n--b0und4ry",
      "--b0und4ry\r\n\r\nbody\r\n--b0und4ry-",
      "--b0und4ry\r\n\r\nbody\r\n--b0und4ry\r\n",
      "--b0und4ry\r\nContent-Type: x",
      "--b0und4ry\r\n",
      "--b0und4ry   ",
  };
  for (const std::string& body : bodies) {
    Outcome out = Read(body);
    EXPECT_TRUE(out.fed) << body;
    EXPECT_FALSE(out.finished) << body;
    EXPECT_EQ(out.error, "no closing delimiter") << body;
  }
  // A part read to its end before the body stops still counts.
  Outcome out = Read("--b0und4ry\r\n\r\none\r\n--b0und4ry\r\n\r\ntw");
  EXPECT_EQ(out.counted, 1u);
  EXPECT_EQ(out.error, "no closing delimiter");
}

TEST(MultipartReaderTest, NoDelimiterOrNoPartFailsAtFinish) {
  for (const std::string body : {"", "just text", "--b0und4r", "--b0und4ry",
                                 "-b0und4ry--", "x--b0und4ry--"}) {
    Outcome out = Read(body);
    EXPECT_TRUE(out.fed) << body;
    EXPECT_FALSE(out.finished) << body;
    EXPECT_EQ(out.error, "no boundary delimiter") << body;
  }
  for (const std::string body : {"--b0und4ry--", "--b0und4ry--\r\n",
                                 "preamble\r\n--b0und4ry--epilogue"}) {
    Outcome out = Read(body);
    EXPECT_TRUE(out.fed) << body;
    EXPECT_FALSE(out.finished) << body;
    EXPECT_EQ(out.error, "no part") << body;
  }
}

TEST(MultipartReaderTest, OversizeHeadersFail) {
  const std::string header = "X-Long: " + std::string(100, 'v') + "\r\n";
  // 110 header bytes and the blank line: 112 bytes of header block.
  const std::string body = "--b0und4ry\r\n" + header + "\r\nx\r\n--b0und4ry--";
  Outcome out = Read(body, {}, kBoundary, 112);
  EXPECT_TRUE(out.finished) << out.error;
  out = Read(body, {}, kBoundary, 111);
  EXPECT_FALSE(out.fed);
  EXPECT_EQ(out.error, "part headers larger than 111 bytes");
  EXPECT_TRUE(out.parts.empty());

  // A header line that never ends fails as soon as it is too long.
  std::vector<ReadPart> parts;
  MultipartReader reader(kBoundary, Collect(parts), 1000);
  EXPECT_TRUE(reader.Feed("--b0und4ry\r\nX: "));
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i)
    failed = !reader.Feed(std::string(100, 'a'));
  EXPECT_TRUE(failed);
  EXPECT_THAT(reader.error(), HasSubstr("larger than 1000"));
}

TEST(MultipartReaderTest, EventsMayStopTheReader) {
  MultipartReader::Events events;
  events.begin = [](const MultipartReader::Part& part) {
    return part.content_type() == "application/dicom";
  };
  MultipartReader reader(kBoundary, events);
  EXPECT_FALSE(reader.Feed(
      "--b0und4ry\r\nContent-Type: text/plain\r\n\r\nx\r\n--b0und4ry--"));
  EXPECT_EQ(reader.error(), "rejected");
  EXPECT_FALSE(reader.Feed("more"));
  EXPECT_FALSE(reader.Finish());
  EXPECT_EQ(reader.error(), "rejected");

  int pieces = 0;
  events = MultipartReader::Events();
  events.data = [&pieces](std::string_view) { return ++pieces < 2; };
  MultipartReader stopper(kBoundary, events);
  EXPECT_TRUE(stopper.Feed("--b0und4ry\r\n\r\nabc"));
  EXPECT_FALSE(stopper.Feed("def"));
  EXPECT_EQ(stopper.error(), "stopped");
  EXPECT_EQ(pieces, 2);

  events = MultipartReader::Events();
  events.end = [] { return false; };
  MultipartReader ender(kBoundary, events);
  EXPECT_FALSE(ender.Feed("--b0und4ry\r\n\r\nabc\r\n--b0und4ry\r\n"));
  EXPECT_EQ(ender.error(), "stopped");
  EXPECT_EQ(ender.parts(), 1u);
}

TEST(MultipartReaderTest, InvalidBoundaryFails) {
  for (const std::string& boundary :
       {std::string(), std::string("a\r\nb"), std::string(201, 'x')}) {
    MultipartReader reader(boundary, MultipartReader::Events());
    EXPECT_FALSE(reader.Feed("--x"));
    EXPECT_EQ(reader.error(), "invalid boundary");
  }
  // A quoted boundary with a blank in it is fine.
  Outcome out = Read("--a b\r\n\r\nx\r\n--a b--", {}, "a b");
  EXPECT_TRUE(out.finished) << out.error;
}

TEST(MultipartReaderTest, FeedingAfterFinishFails) {
  std::vector<ReadPart> parts;
  MultipartReader reader(kBoundary, Collect(parts));
  EXPECT_TRUE(reader.Feed("--b0und4ry\r\n\r\nx\r\n--b0und4ry--"));
  EXPECT_TRUE(reader.Finish());
  EXPECT_TRUE(reader.Finish());
  EXPECT_FALSE(reader.Feed("x"));
  EXPECT_EQ(reader.error(), "fed after the end");
}

TEST(MultipartReaderTest, WrittenPartsReadBack) {
  const std::string boundary = NewBoundary();
  const std::vector<std::string> bodies = {
      std::string("DICM\0\r\n--x", 11) + boundary, std::string(), "\r\n"};
  std::string body = "preamble";
  body += MultipartPartHeader(boundary, "application/dicom", false);
  body += bodies[0];
  body += MultipartPartHeader(boundary, "application/dicom", false);
  body += bodies[1];
  body += MultipartPartHeader(boundary, "text/plain", false);
  body += bodies[2];
  body += MultipartClose(boundary);
  Outcome out = Read(body, {}, boundary);
  EXPECT_TRUE(out.finished) << out.error;
  ASSERT_EQ(out.parts.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(out.parts[i].body, bodies[i]);
  EXPECT_THAT(out.parts[2].headers,
              ElementsAre(Pair("content-type", "text/plain")));

  EXPECT_EQ(MultipartPartHeader("bb", "a/b", true),
            "--bb\r\nContent-Type: a/b\r\n\r\n");
  EXPECT_EQ(MultipartPartHeader("bb", "a/b", false),
            "\r\n--bb\r\nContent-Type: a/b\r\n\r\n");
  EXPECT_EQ(MultipartClose("bb"), "\r\n--bb--\r\n");
}

TEST(MultipartReaderTest, NewBoundariesAreLongTokensAndDiffer) {
  const std::string a = NewBoundary(), b = NewBoundary();
  EXPECT_GE(a.size(), 32u);
  EXPECT_NE(a, b);
  for (char c : a + b)
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                (c >= 'A' && c <= 'Z'))
        << c;
}

// 50 MB in one part, fed in 64 KB pieces of bytes that often look like the
// start of a delimiter: the data event gets every byte, and after each
// piece all but the few bytes that may begin a delimiter have been handed
// on.
TEST(MultipartReaderTest, HoldsBackNoMoreThanADelimiter) {
  const std::string boundary = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  const size_t kTotal = 50u << 20, kPiece = 64u << 10;
  // CRLF "--" boundary and one byte after it.
  const size_t most_held = boundary.size() + 5;

  // The body is `period` repeated, so a piece is a view into `stream`.
  std::string period;
  std::mt19937 random(7);
  const std::vector<std::string> words = {"\r\n--" + boundary.substr(0, 39),
                                          "\r\n--" + boundary + "X",
                                          "\r",
                                          "\r\n-",
                                          "data",
                                          std::string(1, '\0'),
                                          "\r\n--" + boundary + "-y"};
  while (period.size() < 4096) period += words[random() % words.size()];
  std::string stream;
  while (stream.size() < period.size() + kPiece) stream += period;

  uint64_t delivered = 0, hash_in = 1469598103934665603u,
           hash_out = 1469598103934665603u;
  auto mix = [](uint64_t& hash, std::string_view bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211u;
  };
  size_t events_seen = 0;
  MultipartReader::Events events;
  events.data = [&](std::string_view data) {
    delivered += data.size();
    mix(hash_out, data);
    ++events_seen;
    return true;
  };
  events.end = [&] { return true; };
  MultipartReader reader(boundary, events);
  const std::string head = "--" + boundary + "\r\nContent-Type: a/b\r\n\r\n";
  ASSERT_TRUE(reader.Feed(head));
  size_t fed = 0;
  while (fed < kTotal) {
    const size_t size = std::min(kPiece, kTotal - fed);
    std::string_view piece(stream.data() + fed % period.size(), size);
    mix(hash_in, piece);
    ASSERT_TRUE(reader.Feed(piece));
    fed += size;
    ASSERT_GE(delivered + most_held, fed) << "after " << fed << " bytes";
  }
  ASSERT_TRUE(reader.Feed("\r\n--" + boundary + "--"));
  EXPECT_TRUE(reader.Finish()) << reader.error();
  EXPECT_EQ(delivered, kTotal);
  EXPECT_EQ(hash_out, hash_in);
  EXPECT_EQ(reader.parts(), 1u);
  // Whole runs are handed on, not a piece per byte.
  EXPECT_LE(events_seen, 3 * (kTotal / kPiece) + 3);
}

}  // namespace
}  // namespace vantor
