// The identifier keys of a C-GET or C-MOVE, read the way the two retrieval
// statements use them.
#ifndef VANTOR_RETRIEVE_RETRIEVE_KEYS_H_
#define VANTOR_RETRIEVE_RETRIEVE_KEYS_H_

#include <optional>
#include <string>
#include <string_view>

#include "host/base/value.h"
#include "query/match_keys.h"

namespace vantor {

// Splits a patient name for a retrieval: with `bSiemensBug` a "Last, First"
// text becomes the last name as a prefix ("Last%"); "?" and "*" become "_"
// and "%"; the first "^" component is the last name, the second the first
// name, further ones are ignored. Apostrophes are still in place.
PreparedName RetrievalName(std::string_view name, bool bSiemensBug);

// The birth date written with `date_format` when the key holds a date the
// calendar has (DICOM YYYYMMDD or a hand-written YYYY-MM-DD, YYYY/MM/DD,
// DD.MM.YYYY); empty otherwise.
std::optional<std::string> ValidDate(const Value& key,
                                     std::string_view date_format);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_RETRIEVE_KEYS_H_
