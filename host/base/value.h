// A typed value as it comes from the archive database or a dataset.
#ifndef VANTOR_HOST_BASE_VALUE_H_
#define VANTOR_HOST_BASE_VALUE_H_

#include <cstdint>
#include <string>
#include <variant>

namespace vantor {

struct Date {
  int year = 0, month = 0, day = 0;
  bool operator==(const Date&) const = default;
};

struct DateTime {
  Date date;
  int hour = 0, minute = 0, second = 0;
  bool operator==(const DateTime&) const = default;
};

// Null, text, whole number, decimal, true/false, date or date-time.
class Value {
 public:
  Value() = default;
  Value(std::string text) : v_(std::move(text)) {}
  Value(const char* text) : v_(std::string(text)) {}
  Value(int64_t number) : v_(number) {}
  Value(int number) : v_(static_cast<int64_t>(number)) {}
  Value(double number) : v_(number) {}
  Value(bool flag) : v_(flag) {}
  Value(Date date) : v_(date) {}
  Value(DateTime date_time) : v_(date_time) {}

  bool IsNull() const { return v_.index() == 0; }
  bool IsText() const { return std::holds_alternative<std::string>(v_); }
  bool IsInteger() const { return std::holds_alternative<int64_t>(v_); }
  bool IsDecimal() const { return std::holds_alternative<double>(v_); }
  bool IsBool() const { return std::holds_alternative<bool>(v_); }
  bool IsDate() const { return std::holds_alternative<Date>(v_); }
  bool IsDateTime() const { return std::holds_alternative<DateTime>(v_); }

  const std::string& text() const { return std::get<std::string>(v_); }
  int64_t integer() const { return std::get<int64_t>(v_); }
  double decimal() const { return std::get<double>(v_); }
  bool flag() const { return std::get<bool>(v_); }
  const Date& date() const { return std::get<Date>(v_); }
  const DateTime& date_time() const { return std::get<DateTime>(v_); }

  // The value as text: "" for null, YYYYMMDD for a date, YYYYMMDDHHMMSS for a
  // date-time, "1"/"0" for true/false, decimals without trailing zeros.
  std::string ToText() const;
  // True for a true flag or a non-zero number; a null is false. Throws a
  // Failure (13, "Type mismatch") for anything else.
  bool ToBool() const;

  bool operator==(const Value&) const = default;

 private:
  std::variant<std::monostate, std::string, int64_t, double, bool, Date,
               DateTime>
      v_;
};

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_VALUE_H_
