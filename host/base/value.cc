#include "host/base/value.h"

#include <cstdio>

#include "host/base/failure.h"

namespace vantor {

std::string Value::ToText() const {
  char buf[64];
  switch (v_.index()) {
    case 0:
      return "";
    case 1:
      return text();
    case 2:
      return std::to_string(integer());
    case 3: {
      std::snprintf(buf, sizeof buf, "%.15g", decimal());
      return buf;
    }
    case 4:
      return flag() ? "1" : "0";
    case 5:
      std::snprintf(buf, sizeof buf, "%04d%02d%02d", date().year,
                    date().month, date().day);
      return buf;
    default: {
      const DateTime& t = date_time();
      std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.date.year,
                    t.date.month, t.date.day, t.hour, t.minute, t.second);
      return buf;
    }
  }
}

bool Value::ToBool() const {
  if (IsNull()) return false;
  if (IsBool()) return flag();
  if (IsInteger()) return integer() != 0;
  if (IsDecimal()) return decimal() != 0.0;
  if (IsText()) {
    // Drivers without a boolean type hand flags over as "1"/"0" or words.
    const std::string& t = text();
    if (t == "1" || t == "-1" || t == "true" || t == "True" || t == "TRUE")
      return true;
    if (t == "0" || t == "false" || t == "False" || t == "FALSE" || t.empty())
      return false;
  }
  throw Failure(kTypeMismatch, "Type mismatch");
}

}  // namespace vantor
