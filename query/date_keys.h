// Date keys: a single date or a range "lower-upper", written into the
// statement with the DateFormat pattern.
#ifndef VANTOR_QUERY_DATE_KEYS_H_
#define VANTOR_QUERY_DATE_KEYS_H_

#include <optional>
#include <string>
#include <string_view>

#include "host/base/value.h"

namespace vantor {

// The date written with a DateFormat pattern: "YYYY" the four-digit year,
// "MM" the two-digit month, "DD" the two-digit day (letters in any case);
// every other character is copied. An empty pattern means "YYYYMMDD".
std::string FormatDate(const Date& date, std::string_view pattern);

// Reads a date text in one of the forms a date is written in by hand:
// YYYY-M-D, YYYY/M/D or D.M.YYYY (one or two digits for month and day).
// Empty for anything else, including a day the calendar does not have.
std::optional<Date> ReadDate(std::string_view text);

// A range bound in the DICOM form YYYYMMDD rewritten as YYYY-MM-DD: the
// first four characters, "-", the fifth and sixth, "-", the last two.
std::string RewriteDicomDate(std::string_view bound);

// A date key as it is written into a condition: one date, or two different
// bounds.
struct DateMatch {
  std::string lower;  // the single date when !range
  std::string upper;
  bool range = false;
};

// A birth-date key (its value is not null): up to 10 characters a single
// date, read as a date; longer a range split at the first "-" whose bounds
// are both rewritten and read as dates. Equal bounds give a single date.
// Throws a Failure when the value or a bound cannot be read as a date.
DateMatch BirthDateMatch(const Value& key, std::string_view pattern);

// A study-date key (its value is not null). A single date that cannot be
// read as a date is written as received. A range rewrites only the bounds
// that are not already dates; a range that cannot be split or read gives
// no condition (empty).
std::optional<DateMatch> StudyDateMatch(const Value& key,
                                        std::string_view pattern);

}  // namespace vantor

#endif  // VANTOR_QUERY_DATE_KEYS_H_
