#include "query/date_keys.h"

#include <cstdio>

#include "host/base/failure.h"
#include "host/base/text.h"

namespace vantor {
namespace {

constexpr size_t kLongestSingleDate = 10;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool IsCalendarDate(int y, int m, int d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30,
                                  31, 31, 30, 31, 30, 31};
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  int last = kDays[m - 1] + (m == 2 && IsLeapYear(y) ? 1 : 0);
  return d <= last;
}

// Reads a run of 1..max_digits digits at `pos`; -1 when there is none.
int ReadNumber(std::string_view text, size_t& pos, size_t max_digits) {
  size_t start = pos;
  int n = 0;
  while (pos < text.size() && IsDigit(text[pos]) && pos - start < max_digits)
    n = n * 10 + (text[pos++] - '0');
  return pos == start ? -1 : n;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

std::string Substring(std::string_view text, size_t pos, size_t count) {
  if (pos >= text.size()) return "";
  return std::string(text.substr(pos, count));
}

[[noreturn]] void ThrowTypeMismatch() {
  throw Failure(kTypeMismatch, "Type mismatch");
}

Date RequiredDate(std::string_view text) {
  std::optional<Date> date = ReadDate(text);
  if (!date) ThrowTypeMismatch();
  return *date;
}

// The lower and upper bound of a range; throws when there is no "-".
std::pair<std::string, std::string> SplitRange(std::string_view text) {
  size_t dash = text.find('-');
  if (dash == std::string_view::npos)
    throw Failure(kInvalidProcedureCall,
                  "Invalid procedure call or argument");
  return {std::string(text.substr(0, dash)),
          std::string(text.substr(dash + 1))};
}

DateMatch FromBounds(const std::string& lower, const std::string& upper,
                     std::string_view pattern) {
  DateMatch match;
  match.lower = FormatDate(RequiredDate(lower), pattern);
  if (lower != upper) {
    match.upper = FormatDate(RequiredDate(upper), pattern);
    match.range = true;
  }
  return match;
}

}  // namespace

std::string FormatDate(const Date& date, std::string_view pattern) {
  if (pattern.empty()) pattern = "YYYYMMDD";
  auto at = [&](size_t i, std::string_view token) {
    return StartsWithIgnoringCase(pattern.substr(i), token);
  };
  char buf[16];
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    if (at(i, "YYYY")) {
      std::snprintf(buf, sizeof buf, "%04d", date.year);
      i += 4;
    } else if (at(i, "MM")) {
      std::snprintf(buf, sizeof buf, "%02d", date.month);
      i += 2;
    } else if (at(i, "DD")) {
      std::snprintf(buf, sizeof buf, "%02d", date.day);
      i += 2;
    } else {
      buf[0] = pattern[i++];
      buf[1] = '\0';
    }
    out += buf;
  }
  return out;
}

std::optional<Date> ReadDate(std::string_view text) {
  size_t pos = 0;
  int y = -1, m = -1, d = -1;
  size_t dot = text.find('.');
  if (dot != std::string_view::npos) {
    d = ReadNumber(text, pos, 2);
    if (!Expect(text, pos, '.')) return std::nullopt;
    m = ReadNumber(text, pos, 2);
    if (!Expect(text, pos, '.')) return std::nullopt;
    size_t year_start = pos;
    y = ReadNumber(text, pos, 4);
    if (pos - year_start != 4) return std::nullopt;
  } else {
    size_t year_start = pos;
    y = ReadNumber(text, pos, 4);
    if (pos - year_start != 4 || pos >= text.size()) return std::nullopt;
    char separator = text[pos];
    if (separator != '-' && separator != '/') return std::nullopt;
    ++pos;
    m = ReadNumber(text, pos, 2);
    if (!Expect(text, pos, separator)) return std::nullopt;
    d = ReadNumber(text, pos, 2);
  }
  if (pos != text.size() || !IsCalendarDate(y, m, d)) return std::nullopt;
  return Date{y, m, d};
}

std::string RewriteDicomDate(std::string_view bound) {
  std::string last_two =
      bound.size() >= 2 ? std::string(bound.substr(bound.size() - 2))
                        : std::string(bound);
  return Substring(bound, 0, 4) + "-" + Substring(bound, 4, 2) + "-" +
         last_two;
}

DateMatch BirthDateMatch(const Value& key, std::string_view pattern) {
  std::string text = key.ToText();
  if (text.size() <= kLongestSingleDate) {
    DateMatch match;
    match.lower = FormatDate(key.IsDate() ? key.date() : RequiredDate(text),
                             pattern);
    return match;
  }
  auto [lower, upper] = SplitRange(text);
  return FromBounds(RewriteDicomDate(lower), RewriteDicomDate(upper),
                    pattern);
}

std::optional<DateMatch> StudyDateMatch(const Value& key,
                                        std::string_view pattern) {
  std::string text = key.ToText();
  if (text.size() <= kLongestSingleDate) {
    DateMatch match;
    std::optional<Date> date =
        key.IsDate() ? std::optional<Date>(key.date()) : ReadDate(text);
    // A text that is no date (an open range, say) cannot take the pattern.
    match.lower = date ? FormatDate(*date, pattern) : text;
    return match;
  }
  try {
    auto [lower, upper] = SplitRange(text);
    if (!ReadDate(lower)) lower = RewriteDicomDate(lower);
    if (!ReadDate(upper)) upper = RewriteDicomDate(upper);
    return FromBounds(lower, upper, pattern);
  } catch (const Failure&) {
    // A range that cannot be taken apart leaves the study date unmatched.
    return std::nullopt;
  }
}

}  // namespace vantor
