// Small ASCII text helpers every floor may use. Letters other than A-Z and
// a-z are left as they are and compared as bytes.
#ifndef VANTOR_HOST_BASE_TEXT_H_
#define VANTOR_HOST_BASE_TEXT_H_

#include <string>
#include <string_view>

namespace vantor {

// `text` with a-z made A-Z.
std::string UpperCase(std::string_view text);

// `text` with A-Z made a-z.
std::string LowerCase(std::string_view text);

// True when `a` and `b` are the same but for the case of A-Z.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;

// True when `text` begins with `head`, the case of A-Z aside.
bool StartsWithIgnoringCase(std::string_view text,
                            std::string_view head) noexcept;

// True when `part` stands somewhere in `text`, the case of A-Z aside; an
// empty `part` stands everywhere.
bool ContainsIgnoringCase(std::string_view text,
                          std::string_view part) noexcept;

// True when `text` is not empty and has only the digits 0-9.
bool AllDigits(std::string_view text) noexcept;

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_TEXT_H_
