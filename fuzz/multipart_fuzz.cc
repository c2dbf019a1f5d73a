// The multipart reader (boundary "b0und4ry") on a body fed whole, cut in
// two at a place taken from the first input byte, and (for bodies up to
// 1 KB) byte by byte: all three must read the same parts, bodies, headers
// and outcome. Events come in order (data and end only inside a part), the
// body bytes handed on are never more than the body fed, and the bodies of
// a body read to its end, written again with MultipartPartHeader and
// MultipartClose, read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/http/multipart_reader.h"

namespace {

using vantor::MultipartReader;

const std::string kBoundary = "b0und4ry";

struct Outcome {
  bool fed = true;
  bool finished = false;
  std::string error;
  size_t counted = 0;
  std::vector<std::vector<std::pair<std::string, std::string>>> headers;
  std::vector<std::string> bodies;
  size_t ended = 0;
  bool operator==(const Outcome&) const = default;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "multipart: %s\n", what);
  std::abort();
}

// Reads `body` in pieces cut at `cuts` (ascending offsets).
Outcome Read(std::string_view body, const std::vector<size_t>& cuts) {
  Outcome out;
  bool inside = false;
  MultipartReader::Events events;
  events.begin = [&](const MultipartReader::Part& part) {
    if (inside) Fail("a part begun inside a part");
    inside = true;
    out.headers.push_back(part.headers);
    out.bodies.emplace_back();
    return true;
  };
  events.data = [&](std::string_view data) {
    if (!inside) Fail("data outside a part");
    if (data.empty()) Fail("empty data");
    out.bodies.back().append(data);
    return true;
  };
  events.end = [&]() {
    if (!inside) Fail("an end outside a part");
    inside = false;
    ++out.ended;
    return true;
  };
  MultipartReader reader(kBoundary, events, 256);
  size_t at = 0;
  for (size_t cut : cuts) {
    if (!reader.Feed(body.substr(at, cut - at))) out.fed = false;
    at = cut;
  }
  if (!reader.Feed(body.substr(at))) out.fed = false;
  out.finished = reader.Finish();
  out.error = reader.error();
  out.counted = reader.parts();
  if (out.counted != out.ended) Fail("parts() is not the parts ended");
  if (out.finished != out.error.empty()) Fail("finished with an error");
  size_t handed = 0;
  for (const std::string& b : out.bodies) handed += b.size();
  if (handed > body.size()) Fail("more body bytes than fed");
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data + 1),
                              size - 1);
  const size_t cut = body.size() * data[0] / 255;
  const Outcome whole = Read(body, {});
  if (!(Read(body, {cut}) == whole)) Fail("cut in two reads otherwise");
  if (body.size() <= 1024) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < body.size(); ++i) cuts.push_back(i);
    if (!(Read(body, cuts) == whole)) Fail("byte by byte reads otherwise");
  }
  if (whole.finished) {
    std::string again;
    for (size_t i = 0; i < whole.bodies.size(); ++i) {
      again +=
          vantor::MultipartPartHeader(kBoundary, "application/dicom", i == 0);
      again += whole.bodies[i];
    }
    again += vantor::MultipartClose(kBoundary);
    const Outcome reread = Read(again, {});
    if (!reread.finished) Fail("a body written again does not read");
    if (reread.bodies != whole.bodies) Fail("bodies written again differ");
  }
  return 0;
}
