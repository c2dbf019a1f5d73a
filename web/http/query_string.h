// The query part of a request target (after "?") read into its
// parameters, and one path segment decoded.
#ifndef VANTOR_WEB_HTTP_QUERY_STRING_H_
#define VANTOR_WEB_HTTP_QUERY_STRING_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

// Splits `query` (without its "?") at every "&" into name=value pairs, in
// order, repeated names kept; a pair without "=" has an empty value, empty
// pairs ("a=1&&b=2", a trailing "&") are skipped. Names and values are
// percent-decoded, "+" read as a blank. Throws Failure(5, "Invalid
// procedure call or argument") for a "%" not followed by two hex digits and
// for a decoded NUL byte. The decoded bytes are not checked to be UTF-8.
std::vector<std::pair<std::string, std::string>> ParseQueryString(
    std::string_view query);

// One path segment percent-decoded with the same rule, "+" kept as it is.
std::string PercentDecodePath(std::string_view segment);

}  // namespace vantor

#endif  // VANTOR_WEB_HTTP_QUERY_STRING_H_
