// Media types (RFC 9110 8.3.1 and 12.5.1): a Content-Type read into its
// parts, an Accept header read into its media ranges by preference.
#ifndef VANTOR_WEB_HTTP_MEDIA_TYPE_H_
#define VANTOR_WEB_HTTP_MEDIA_TYPE_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

struct MediaType {
  // Lower-cased; "*" in a media range.
  std::string type, subtype;
  // In the order written; names lower-cased, values as written but for
  // the quotes and backslash escapes of a quoted string.
  std::vector<std::pair<std::string, std::string>> params;
  // The weight of an Accept entry (its "q" parameter, not among params).
  double q = 1.0;

  // The value of the first parameter of that name (any case); empty when
  // there is none.
  std::string param(std::string_view name) const;
  // "type/subtype", lower-cased.
  std::string full() const;
};

// Reads a Content-Type value: type "/" subtype *( ";" name "=" value ) with
// token or quoted-string values, blanks and tabs allowed around the
// separators, empty parameters (";;", a trailing ";") skipped. nullopt when
// malformed (a missing subtype, a parameter without "=" or value, an
// unterminated quoted string, a control character, ...). A "q" parameter
// stays among params here.
std::optional<MediaType> ParseMediaType(std::string_view text);

// Reads an Accept value: a comma-separated list of media ranges, each with
// its q taken out of params (RFC's 0 to 1 with up to 3 decimals; ".5" is
// taken as 0.5 too), sorted by q from the highest, equal q in the order
// written; q=0 entries are dropped. A lone "*" is read as "*/*" (old Java
// clients send it). Malformed entries ("*/dicom", a bad q, ...) are
// skipped, so a header of nothing else gives an empty list. An empty or
// blank header gives one "*/*".
std::vector<MediaType> ParseAccept(std::string_view text);

// True when `range` ("*/*", "image/*", "image/jpeg") admits the media type
// `type_subtype` ("image/jpeg", any case; parameters after ";" ignored).
// The range's own parameters are not looked at.
bool MediaRangeMatches(const MediaType& range, std::string_view type_subtype);

}  // namespace vantor

#endif  // VANTOR_WEB_HTTP_MEDIA_TYPE_H_
