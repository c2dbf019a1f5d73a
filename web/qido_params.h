// The query parameters of a QIDO-RS search read into the
// matching keys, the fields to return and the paging, before the query
// engine turns them into SQL.
#ifndef VANTOR_WEB_QIDO_PARAMS_H_
#define VANTOR_WEB_QIDO_PARAMS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

struct Tag {
  uint16_t group = 0, element = 0;
  friend bool operator==(const Tag&, const Tag&) = default;
};

// Resolves a keyword ("PatientName", compared case-sensitively) or 8 hex
// digits ("00100020"; the parser hands them on upper-cased) to a tag;
// false for anything else, an attribute the query cannot use included.
using TagResolver = std::function<bool(std::string_view name, Tag& tag)>;

struct QidoQuery {
  // In order, each value as given (it may be empty, may hold * ? \ and a
  // date range "20200101-20201231", and any text at all, SQL included: the
  // query engine quotes it).
  std::vector<std::pair<Tag, std::string>> matches;
  // In order, each once.
  std::vector<Tag> include_fields;
  bool include_all = false;
  int limit = 0;  // 0 = none
  int offset = 0;
  // fuzzymatching=true was asked (the answer is given without fuzzy
  // matching and says so in a Warning header).
  bool fuzzy = false;
};

// Reads the parameters (ParseQueryString's pairs). The reserved names
// limit, offset, fuzzymatching and includefield are taken in any case;
// every other name is an attribute: a keyword or 8 hex digits (any case),
// resolved by `resolve`. includefield may be repeated and may hold a
// comma-separated list (blanks around the names allowed); "all" sets
// include_all; an attribute named twice there is kept once.
//
// Throws Failure(5, reason), the reason fit for an HTTP 400 answer (names
// from the request are shown with anything but printable ASCII as "?", cut
// at 64 characters), for: an unknown attribute ("unknown attribute 'Foo'"),
// a sequence path ("00081110.00081150"), a limit or offset that is not a
// whole number from 0 to 2147483647, fuzzymatching other than true or
// false, limit, offset or fuzzymatching given twice, a matching attribute
// given twice (by keyword or tag), a matching value longer than 1024
// characters (UTF-8 characters counted; more than 4096 bytes is too long
// whatever they hold).
QidoQuery ParseQidoQuery(
    const std::vector<std::pair<std::string, std::string>>& params,
    const TagResolver& resolve);

}  // namespace vantor

#endif  // VANTOR_WEB_QIDO_PARAMS_H_
