// The reading rules for numeric texts: "numeric" means optional blanks, an
// optional sign, digits, an optional decimal part, optional blanks.
#ifndef VANTOR_HOST_BASE_NUMERIC_H_
#define VANTOR_HOST_BASE_NUMERIC_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

// Leading and trailing blanks removed (spaces and tabs).
std::string Trim(std::string_view text);

bool IsNumeric(std::string_view text);

// The whole-number value of a numeric text: a fraction goes to the nearest
// whole number, a half to the even neighbour. Throws a Failure (6,
// "Overflow") outside the signed 32-bit range.
// REQUIRES: IsNumeric(text).
int32_t ToInt32(std::string_view text);

// Same for the signed 16-bit range.
int16_t ToInt16(std::string_view text);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_NUMERIC_H_
