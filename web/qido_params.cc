#include "web/qido_params.h"

#include <algorithm>
#include <cstdint>

#include "host/base/failure.h"
#include "host/base/text.h"
#include "web/http/http_text.h"

namespace vantor {
namespace {

constexpr size_t kMaxValueCharacters = 1024;
constexpr size_t kMaxShown = 64;

[[noreturn]] void Reject(const std::string& reason) {
  throw Failure(kInvalidProcedureCall, reason);
}

// A name from the request as an answer may show it: printable ASCII only,
// cut short.
std::string Shown(std::string_view name) {
  std::string out = "'";
  for (size_t i = 0; i < name.size() && i < kMaxShown; ++i) {
    const char c = name[i];
    out += c >= 0x20 && c < 0x7f ? c : '?';
  }
  if (name.size() > kMaxShown) out += "...";
  return out + "'";
}

bool HexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

bool Alphanumeric(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

Tag Resolve(std::string_view name, const TagResolver& resolve) {
  if (name.find('.') != std::string_view::npos)
    Reject("sequence attribute paths such as " + Shown(name) +
           " are not supported");
  Tag tag;
  bool known = false;
  if (!name.empty() && std::all_of(name.begin(), name.end(), Alphanumeric) &&
      resolve) {
    if (name.size() == 8 && std::all_of(name.begin(), name.end(), HexDigit))
      known = resolve(UpperCase(name), tag);
    else
      known = resolve(name, tag);
  }
  if (!known) Reject("unknown attribute " + Shown(name));
  return tag;
}

int ReadCount(std::string_view name, std::string_view value) {
  const std::string reason =
      std::string(name) + " must be a whole number from 0 to 2147483647";
  if (!AllDigits(value)) Reject(reason);
  int64_t count = 0;
  for (char c : value) {
    count = count * 10 + (c - '0');
    if (count > INT32_MAX) Reject(reason);
  }
  return static_cast<int>(count);
}

size_t Characters(std::string_view text) {
  return static_cast<size_t>(std::count_if(
      text.begin(), text.end(),
      [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}


}  // namespace

QidoQuery ParseQidoQuery(
    const std::vector<std::pair<std::string, std::string>>& params,
    const TagResolver& resolve) {
  QidoQuery query;
  bool have_limit = false, have_offset = false, have_fuzzy = false;
  for (const auto& [name, value] : params) {
    if (EqualsIgnoringCase(name, "limit")) {
      if (have_limit) Reject("limit is given twice");
      have_limit = true;
      query.limit = ReadCount("limit", value);
    } else if (EqualsIgnoringCase(name, "offset")) {
      if (have_offset) Reject("offset is given twice");
      have_offset = true;
      query.offset = ReadCount("offset", value);
    } else if (EqualsIgnoringCase(name, "fuzzymatching")) {
      if (have_fuzzy) Reject("fuzzymatching is given twice");
      have_fuzzy = true;
      if (EqualsIgnoringCase(value, "true"))
        query.fuzzy = true;
      else if (EqualsIgnoringCase(value, "false"))
        query.fuzzy = false;
      else
        Reject("fuzzymatching must be true or false");
    } else if (EqualsIgnoringCase(name, "includefield")) {
      std::string_view list = value;
      while (true) {
        const size_t comma = list.find(',');
        const std::string_view item = TrimBlanks(list.substr(0, comma));
        if (item == "all") {
          query.include_all = true;
        } else if (!item.empty()) {
          const Tag tag = Resolve(item, resolve);
          if (std::find(query.include_fields.begin(),
                        query.include_fields.end(),
                        tag) == query.include_fields.end())
            query.include_fields.push_back(tag);
        }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
      }
    } else {
      const Tag tag = Resolve(name, resolve);
      if (value.size() > 4 * kMaxValueCharacters ||
          Characters(value) > kMaxValueCharacters)
        Reject("the value of " + Shown(name) +
               " is longer than 1024 characters");
      for (const auto& [seen, unused] : query.matches)
        if (seen == tag) Reject("attribute " + Shown(name) + " is given twice");
      query.matches.emplace_back(tag, value);
    }
  }
  return query;
}

}  // namespace vantor
