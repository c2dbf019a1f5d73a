// The rules every level query shares when it turns a matching key into a
// condition: the two wildcard conversions, the quote treatment, name
// preparation, "=" or LIKE, and the internal patient key.
#ifndef VANTOR_QUERY_MATCH_KEYS_H_
#define VANTOR_QUERY_MATCH_KEYS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "host/base/value.h"

namespace vantor {

// The text with every "*" replaced by "%". Never throws; an internal failure
// is logged under "SternProzent" and gives the text unchanged.
std::string SternProzent(std::string_view text) noexcept;

// The text with every "?" replaced by "_". Never throws; an internal failure
// is logged under "FragezeichenUnterstrich" and gives the text unchanged.
std::string FragezeichenUnterstrich(std::string_view text) noexcept;

// True when a prepared value holds an SQL wildcard ("%" or "_") and is
// therefore compared with LIKE rather than "=".
bool HasWildcard(std::string_view value);

// Every apostrophe "'" replaced by the acute accent "´" (U+00B4), the
// treatment of quotes in patient-name components.
std::string AcuteApostrophes(std::string_view text);

// The text without "[" and "]", which would open a character class in the
// server's LIKE.
std::string RemoveBrackets(std::string_view text);

// A patient name prepared for matching at the study, series and image
// levels, split into the components that are matched.
struct PreparedName {
  std::string last;
  std::string first;
};

// Prepares the patient-name key: "%" when it is null or empty; with
// `bSiemensBug` a "Last, First" value matches the last name as a prefix;
// wildcards are converted, brackets removed, and the name is split at "^"
// into last name and first name (further components are ignored). The
// apostrophes are still in place (AcuteApostrophes is applied on writing).
PreparedName PrepareName(const Value& key, bool bSiemensBug);

// Appends `equal_head` or, when `value` holds a wildcard, `like_head`, then
// the value with its apostrophes doubled, then `tail`.
void AppendEqualOrLike(std::string& sql, std::string_view equal_head,
                       std::string_view like_head, std::string_view value,
                       std::string_view tail);

// Appends `head`, the value with its apostrophes doubled, and `tail`.
void AppendQuoted(std::string& sql, std::string_view head,
                  std::string_view value, std::string_view tail);

// Appends the condition of a unique key (a UID column): nothing when the
// value is empty or "*" (every row matches), " AND <column> = '<uid>'" for
// one UID and " AND <column> IN ('<uid>', ...)" for a list of UIDs
// separated by "\". A requester that names its study, series or image gets
// that one and not every row of the level.
void AppendUniqueKey(std::string& sql, std::string_view column,
                     std::string_view value);

// The patient ID as the archive's internal numeric key, for a comparison
// without quotes: optional blanks and sign around decimal digits only
// ("00123" gives 123). Throws a Failure (13, "Type mismatch") for anything
// else and (6, "Overflow") outside the signed 32-bit range.
int32_t InternalPatientKey(std::string_view patient_id);

}  // namespace vantor

#endif  // VANTOR_QUERY_MATCH_KEYS_H_
