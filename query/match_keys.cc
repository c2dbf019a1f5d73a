#include "query/match_keys.h"

#include <vector>

#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/numeric.h"

namespace vantor {
namespace {

constexpr char kAcuteAccent[] = "\xC2\xB4";  // U+00B4 in UTF-8

std::string ReplaceChar(std::string_view text, char from,
                        std::string_view to) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == from)
      out.append(to);
    else
      out.push_back(c);
  }
  return out;
}

}  // namespace

std::string SternProzent(std::string_view text) noexcept {
  return Guard("SternProzent", std::string(text),
               [&] { return ReplaceChar(text, '*', "%"); });
}

std::string FragezeichenUnterstrich(std::string_view text) noexcept {
  return Guard("FragezeichenUnterstrich", std::string(text),
               [&] { return ReplaceChar(text, '?', "_"); });
}

bool HasWildcard(std::string_view value) {
  return value.find_first_of("%_") != std::string_view::npos;
}

std::string AcuteApostrophes(std::string_view text) {
  return ReplaceChar(text, '\'', kAcuteAccent);
}

std::string RemoveBrackets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '[' && c != ']') out.push_back(c);
  return out;
}

PreparedName PrepareName(const Value& key, bool bSiemensBug) {
  std::string name = key.ToText();
  if (name.empty()) {
    name.assign(1, '%');
  } else {
    size_t comma = name.find(", ");
    if (bSiemensBug && comma != std::string::npos)
      name = name.substr(0, comma) + "%";
    name = SternProzent(FragezeichenUnterstrich(name));
  }
  name = RemoveBrackets(name);

  PreparedName out;
  if (name.empty()) return out;
  size_t caret = name.find('^');
  if (caret == std::string::npos) {
    out.last = name;
    return out;
  }
  out.last = name.substr(0, caret);
  std::string rest = name.substr(caret + 1);
  out.first = rest.substr(0, rest.find('^'));
  return out;
}

void AppendEqualOrLike(std::string& sql, std::string_view equal_head,
                       std::string_view like_head, std::string_view value,
                       std::string_view tail) {
  AppendQuoted(sql, HasWildcard(value) ? like_head : equal_head, value, tail);
}

void AppendQuoted(std::string& sql, std::string_view head,
                  std::string_view value, std::string_view tail) {
  sql.append(head);
  sql.append(SqlQuote(value));
  sql.append(tail);
}

void AppendUniqueKey(std::string& sql, std::string_view column,
                     std::string_view value) {
  std::vector<std::string> uids;
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find('\\', start);
    if (end == std::string_view::npos) end = value.size();
    std::string uid = Trim(value.substr(start, end - start));
    if (!uid.empty()) uids.push_back(uid);
    start = end + 1;
  }
  if (uids.empty() || (uids.size() == 1 && uids[0] == "*")) return;
  sql.append(" AND ").append(column);
  if (uids.size() == 1) {
    AppendQuoted(sql, " = '", uids[0], "'");
    return;
  }
  sql.append(" IN (");
  for (size_t i = 0; i < uids.size(); ++i)
    AppendQuoted(sql, i == 0 ? "'" : ", '", uids[i], "'");
  sql.append(")");
}

int32_t InternalPatientKey(std::string_view patient_id) {
  std::string text = Trim(patient_id);
  size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i == text.size()) throw Failure(kTypeMismatch, "Type mismatch");
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      throw Failure(kTypeMismatch, "Type mismatch");
  }
  return ToInt32(text);
}

}  // namespace vantor
