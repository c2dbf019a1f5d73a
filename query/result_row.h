// One row of a level query's result, with its columns addressed by name,
// and the rules that turn row values into response values.
#ifndef VANTOR_QUERY_RESULT_ROW_H_
#define VANTOR_QUERY_RESULT_ROW_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/base/value.h"

namespace vantor {

// A view of one row. REQUIRES: `columns` and `values` outlive the Row and
// have the same length.
class ResultRow {
 public:
  ResultRow(const std::vector<std::string>& columns,
            const std::vector<Value>& values)
      : columns_(columns), values_(values) {}

  // The value of the column `name` (compared without regard to case).
  // Throws a Failure (3265) for a column the row does not have.
  const Value& operator[](std::string_view name) const;

 private:
  const std::vector<std::string>& columns_;
  const std::vector<Value>& values_;
};

// A column value taken "as text" for a response: numbers and texts become
// their text, a null the empty text. Dates and date-times stay typed, so
// that the attribute's VR decides their form (DA, TM) rather than a text.
Value AsText(const Value& column);

// A value as a signed 32-bit whole number, for a key written into a
// statement: a whole number, a decimal without fraction or a text of
// digits. Throws a Failure for a null (94), anything else (13) and a value
// out of range (6).
int32_t WholeNumber(const Value& value);

// The response patient name from the name columns: last name (empty when
// null), then first name and second first name when not null, each after
// "^", or after ", " for a node with bSiemensBug.
std::string ComposePatientName(const Value& last, const Value& first,
                               const Value& second_first, bool bSiemensBug);

}  // namespace vantor

#endif  // VANTOR_QUERY_RESULT_ROW_H_
