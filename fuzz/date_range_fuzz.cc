// The date keys: ReadDate, the birth-date and study-date ranges and
// FormatDate. A date read back is a calendar day that formats and reads
// again as the same day; a range has two bounds; only a Failure may be
// thrown, for a birth date that cannot be read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/base/failure.h"
#include "query/date_keys.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s: \"%s\"\n", what, text.c_str());
  std::abort();
}

void CheckDate(const vantor::Date& date, const std::string& text) {
  const std::string iso = vantor::FormatDate(date, "YYYY-MM-DD");
  std::optional<vantor::Date> again = vantor::ReadDate(iso);
  if (!again) Fail("a date that does not read back", text);
  if (vantor::FormatDate(*again, "YYYY-MM-DD") != iso)
    Fail("a date that reads back as another day", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  constexpr const char* kPatterns[] = {"YYYY-MM-DD", "YYYYMMDD",   "DD.MM.YYYY",
                                       "",           "yyyy/mm/dd", "MM"};
  const char* pattern = kPatterns[data[0] % std::size(kPatterns)];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    if (std::optional<vantor::Date> date = vantor::ReadDate(text))
      CheckDate(*date, text);
    (void)vantor::RewriteDicomDate(text);
    std::optional<vantor::DateMatch> study =
        vantor::StudyDateMatch(vantor::Value(text), pattern);
    if (study && study->range && study->upper.empty() && study->lower.empty())
      Fail("a study-date range without bounds", text);
  } catch (...) {
    Fail("the study date threw", text);
  }
  try {
    vantor::DateMatch birth =
        vantor::BirthDateMatch(vantor::Value(text), pattern);
    if (!birth.range && !birth.upper.empty())
      Fail("a single birth date with an upper bound", text);
  } catch (const vantor::Failure&) {
  } catch (...) {
    Fail("the birth date threw something other than a Failure", text);
  }
  return 0;
}
