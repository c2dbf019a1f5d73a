#include "host/base/numeric.h"

#include "host/base/failure.h"

namespace vantor {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The parts of a numeric text, without blanks.
struct Parsed {
  bool negative = false;
  std::string_view whole;     // digits before the point (may be empty)
  std::string_view fraction;  // digits after the point (may be empty)
};

// Splits a numeric text; false when the text is not numeric.
bool Split(std::string_view text, Parsed& out) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    out.negative = t[i] == '-';
    ++i;
  }
  size_t start = i;
  while (i < t.size() && IsDigit(t[i])) ++i;
  out.whole = t.substr(start, i - start);
  if (i < t.size() && t[i] == '.') {
    ++i;
    size_t fstart = i;
    while (i < t.size() && IsDigit(t[i])) ++i;
    out.fraction = t.substr(fstart, i - fstart);
  }
  if (i != t.size()) return false;
  return !out.whole.empty() || !out.fraction.empty();
}

// The rounded value of a numeric text, computed on its digits so that no
// long text is misrounded; throws the overflow failure when the magnitude
// passes `limit` (the most positive value; one more is allowed negative).
int64_t RoundedValue(std::string_view text, int64_t limit) {
  Parsed p;
  if (!Split(text, p)) throw Failure(kTypeMismatch, "Type mismatch");
  std::string_view whole = p.whole;
  while (!whole.empty() && whole.front() == '0') whole.remove_prefix(1);
  // Anything with more than 18 significant digits is out of every range.
  if (whole.size() > 18) throw Failure(kOverflow, "Overflow");
  int64_t magnitude = 0;
  for (char c : whole) magnitude = magnitude * 10 + (c - '0');

  // A fraction goes to the nearest whole number, a half to the even one.
  if (!p.fraction.empty()) {
    char first = p.fraction.front();
    bool rest_nonzero = false;
    for (char c : p.fraction.substr(1))
      if (c != '0') rest_nonzero = true;
    bool up = first > '5' || (first == '5' && (rest_nonzero || magnitude % 2));
    if (up) ++magnitude;
  }
  if (magnitude > limit + (p.negative ? 1 : 0))
    throw Failure(kOverflow, "Overflow");
  return p.negative ? -magnitude : magnitude;
}

}  // namespace

std::string Trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

bool IsNumeric(std::string_view text) {
  Parsed p;
  return Split(text, p);
}

int32_t ToInt32(std::string_view text) {
  return static_cast<int32_t>(RoundedValue(text, INT32_MAX));
}

int16_t ToInt16(std::string_view text) {
  return static_cast<int16_t>(RoundedValue(text, INT16_MAX));
}

}  // namespace vantor
