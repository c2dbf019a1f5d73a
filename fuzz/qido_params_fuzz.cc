// A QIDO-RS query string through ParseQueryString and ParseQidoQuery, with
// a resolver that knows a few keywords and tags. Only a Failure (number 5)
// may be thrown; what is read keeps each matching value verbatim (a
// parameter of the query, byte for byte), no value longer than 1024
// characters, no tag twice, and limit and offset from 0.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/base/failure.h"
#include "web/http/query_string.h"
#include "web/qido_params.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "qido_params: %s: \"%s\"\n", what, text.c_str());
  std::abort();
}

bool Resolve(std::string_view name, vantor::Tag& tag) {
  static const std::pair<std::string_view, vantor::Tag> kKnown[] = {
      {"PatientName", {0x0010, 0x0010}},
      {"PatientID", {0x0010, 0x0020}},
      {"StudyDate", {0x0008, 0x0020}},
      {"StudyInstanceUID", {0x0020, 0x000D}},
      {"ModalitiesInStudy", {0x0008, 0x0061}},
      {"AccessionNumber", {0x0008, 0x0050}},
  };
  for (const auto& [keyword, known] : kKnown)
    if (name == keyword) {
      tag = known;
      return true;
    }
  // 8 hex digits, which the parser hands on upper-cased.
  if (name.size() != 8) return false;
  uint32_t value = 0;
  for (char c : name) {
    if (c >= '0' && c <= '9')
      value = value * 16 + (c - '0');
    else if (c >= 'A' && c <= 'F')
      value = value * 16 + (c - 'A' + 10);
    else
      return false;
  }
  tag = {static_cast<uint16_t>(value >> 16), static_cast<uint16_t>(value)};
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::pair<std::string, std::string>> params;
  try {
    params = vantor::ParseQueryString(text);
  } catch (const vantor::Failure& failure) {
    if (failure.number() != 5) Fail("a query string failure not 5", text);
    return 0;
  } catch (...) {
    Fail("the query string threw something other than a Failure", text);
  }
  for (const auto& [name, value] : params)
    if (name.find('\0') != std::string::npos ||
        value.find('\0') != std::string::npos)
      Fail("a NUL decoded", text);
  try {
    const vantor::QidoQuery query = vantor::ParseQidoQuery(params, Resolve);
    if (query.limit < 0 || query.offset < 0) Fail("a negative count", text);
    if (query.matches.size() > params.size()) Fail("matches made up", text);
    for (size_t i = 0; i < query.matches.size(); ++i) {
      const auto& [tag, value] = query.matches[i];
      bool given = false;
      for (const auto& param : params) given = given || param.second == value;
      if (!given) Fail("a value not given verbatim", text);
      if (value.size() > 4 * 1024) Fail("a value too long", text);
      for (size_t j = 0; j < i; ++j)
        if (query.matches[j].first == tag) Fail("a tag twice", text);
    }
    for (size_t i = 0; i < query.include_fields.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        if (query.include_fields[j] == query.include_fields[i])
          Fail("an include field twice", text);
  } catch (const vantor::Failure& failure) {
    if (failure.number() != 5) Fail("a query failure not 5", text);
    if (std::string(failure.what()).find_first_of("\r\n") != std::string::npos)
      Fail("a reason with a line break", text);
  } catch (...) {
    Fail("the query threw something other than a Failure", text);
  }
  return 0;
}
