#include "query/result_row.h"

#include <cmath>

#include "host/base/failure.h"
#include "host/base/numeric.h"
#include "host/base/text.h"
#include "query/match_keys.h"

namespace vantor {
namespace {

constexpr int32_t kItemNotFound = 3265;

}  // namespace

const Value& ResultRow::operator[](std::string_view name) const {
  for (size_t i = 0; i < columns_.size() && i < values_.size(); ++i) {
    if (EqualsIgnoringCase(columns_[i], name)) return values_[i];
  }
  throw Failure(kItemNotFound,
                "Item cannot be found in the collection corresponding to the "
                "requested name or ordinal. (" +
                    std::string(name) + ")");
}

Value AsText(const Value& column) {
  if (column.IsDate() || column.IsDateTime()) return column;
  return Value(column.ToText());
}

int32_t WholeNumber(const Value& value) {
  if (value.IsNull()) throw Failure(kInvalidUseOfNull, "Invalid use of Null");
  if (value.IsInteger()) {
    if (value.integer() < INT32_MIN || value.integer() > INT32_MAX)
      throw Failure(kOverflow, "Overflow");
    return static_cast<int32_t>(value.integer());
  }
  if (value.IsDecimal()) {
    double d = value.decimal();
    if (!std::isfinite(d) || d != std::floor(d))
      throw Failure(kTypeMismatch, "Type mismatch");
    if (d < INT32_MIN || d > INT32_MAX) throw Failure(kOverflow, "Overflow");
    return static_cast<int32_t>(d);
  }
  if (value.IsText()) return InternalPatientKey(value.text());
  throw Failure(kTypeMismatch, "Type mismatch");
}

std::string ComposePatientName(const Value& last, const Value& first,
                               const Value& second_first, bool bSiemensBug) {
  const char* separator = bSiemensBug ? ", " : "^";
  std::string name = last.ToText();
  if (!first.IsNull()) name += separator + first.ToText();
  if (!second_first.IsNull()) name += separator + second_first.ToText();
  return name;
}

}  // namespace vantor
