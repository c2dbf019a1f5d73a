#include "web/http/media_type.h"

#include <algorithm>
#include <cstring>

#include "host/base/text.h"
#include "web/http/http_text.h"

namespace vantor {
namespace {

// Reads text from a position on, one piece at a time.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool done() const { return at_ == text_.size(); }
  char peek() const { return text_[at_]; }
  void SkipBlanks() {
    while (!done() && Blank(peek())) ++at_;
  }
  bool Take(char c) {
    if (done() || peek() != c) return false;
    ++at_;
    return true;
  }
  // A token, empty when none stands here.
  std::string_view Token() {
    const size_t start = at_;
    while (!done() && TokenChar(static_cast<unsigned char>(peek()))) ++at_;
    return text_.substr(start, at_ - start);
  }
  // An unquoted parameter value: a token, or a media type written
  // without quotes ("type=application/dicom", as viewers send it).
  std::string_view Value() {
    const size_t start = at_;
    while (!done() && (TokenChar(static_cast<unsigned char>(peek())) ||
                       peek() == '/'))
      ++at_;
    return text_.substr(start, at_ - start);
  }
  // A quoted string without its quotes and escapes; REQUIRES: at '"'.
  // False when it is not closed or holds a control character.
  bool Quoted(std::string& out) {
    ++at_;
    while (!done()) {
      unsigned char c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c == '\\') {
        if (done()) return false;
        c = static_cast<unsigned char>(text_[at_++]);
      }
      if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
      out += static_cast<char>(c);
    }
    return false;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

// RFC 9110's qvalue, with ".5" taken too; nullopt when it is not one.
std::optional<double> ReadWeight(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  size_t at = 0;
  int whole = 0;
  if (text[0] == '0' || text[0] == '1') whole = text[at++] - '0';
  double fraction = 0, scale = 0.1;
  if (at < text.size()) {
    if (text[at++] != '.') return std::nullopt;
    if (at == 1 && at == text.size()) return std::nullopt;  // "."
    for (; at < text.size(); ++at, scale /= 10) {
      if (text[at] < '0' || text[at] > '9') return std::nullopt;
      fraction += (text[at] - '0') * scale;
    }
  }
  const double q = whole + fraction;
  if (q > 1.0) return std::nullopt;
  return q;
}

// Splits an Accept value at the commas outside quoted strings.
std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> items;
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      items.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  items.push_back(text.substr(std::min(start, text.size())));
  return items;
}

bool OnlyBlanks(std::string_view text) {
  return std::all_of(text.begin(), text.end(), Blank);
}

}  // namespace

std::string MediaType::param(std::string_view name) const {
  for (const auto& [key, value] : params)
    if (EqualsIgnoringCase(key, name)) return value;
  return std::string();
}

std::string MediaType::full() const {
  return LowerCase(type) + "/" + LowerCase(subtype);
}

std::optional<MediaType> ParseMediaType(std::string_view text) {
  Cursor in(text);
  MediaType media;
  in.SkipBlanks();
  media.type = LowerCase(in.Token());
  if (media.type.empty() || !in.Take('/')) return std::nullopt;
  media.subtype = LowerCase(in.Token());
  if (media.subtype.empty()) return std::nullopt;
  in.SkipBlanks();
  while (!in.done()) {
    if (!in.Take(';')) return std::nullopt;
    in.SkipBlanks();
    if (in.done() || in.peek() == ';') continue;  // an empty parameter
    std::string name = LowerCase(in.Token());
    if (name.empty()) return std::nullopt;
    in.SkipBlanks();
    if (!in.Take('=')) return std::nullopt;
    in.SkipBlanks();
    std::string value;
    if (!in.done() && in.peek() == '"') {
      if (!in.Quoted(value)) return std::nullopt;
    } else {
      value = in.Value();
      if (value.empty()) return std::nullopt;
    }
    media.params.emplace_back(std::move(name), std::move(value));
    in.SkipBlanks();
  }
  return media;
}

std::vector<MediaType> ParseAccept(std::string_view text) {
  std::vector<MediaType> ranges;
  if (OnlyBlanks(text)) {
    MediaType any;
    any.type = any.subtype = "*";
    ranges.push_back(std::move(any));
    return ranges;
  }
  for (std::string_view item : SplitList(text)) {
    if (OnlyBlanks(item)) continue;  // list syntax allows empty elements
    std::optional<MediaType> range = ParseMediaType(item);
    if (!range) {
      // A lone "*", with or without parameters.
      std::string_view rest = item;
      while (!rest.empty() && Blank(rest.front())) rest.remove_prefix(1);
      if (rest.empty() || rest.front() != '*') continue;
      range = ParseMediaType("*/" + std::string(rest));
      if (!range || range->subtype != "*") continue;
    }
    if (range->type == "*" && range->subtype != "*") continue;
    bool valid = true;
    for (auto it = range->params.begin(); it != range->params.end();) {
      if (it->first != "q") {
        ++it;
        continue;
      }
      std::optional<double> q = ReadWeight(it->second);
      if (!q)
        valid = false;
      else
        range->q = *q;
      it = range->params.erase(it);
    }
    if (!valid || range->q <= 0.0) continue;
    ranges.push_back(std::move(*range));
  }
  std::stable_sort(
      ranges.begin(), ranges.end(),
      [](const MediaType& a, const MediaType& b) { return a.q > b.q; });
  return ranges;
}

bool MediaRangeMatches(const MediaType& range, std::string_view type_subtype) {
  type_subtype = type_subtype.substr(0, type_subtype.find(';'));
  while (!type_subtype.empty() && Blank(type_subtype.front()))
    type_subtype.remove_prefix(1);
  while (!type_subtype.empty() && Blank(type_subtype.back()))
    type_subtype.remove_suffix(1);
  const size_t slash = type_subtype.find('/');
  if (slash == std::string_view::npos) return false;
  const std::string_view type = type_subtype.substr(0, slash);
  const std::string_view subtype = type_subtype.substr(slash + 1);
  if (type.empty() || subtype.empty()) return false;
  if (range.type == "*") return range.subtype == "*";
  if (!EqualsIgnoringCase(range.type, type)) return false;
  return range.subtype == "*" || EqualsIgnoringCase(range.subtype, subtype);
}

}  // namespace vantor
