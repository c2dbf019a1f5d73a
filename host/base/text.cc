#include "host/base/text.h"

namespace vantor {
namespace {

char Upper(char c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Upper(c);
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool StartsWithIgnoringCase(std::string_view text,
                            std::string_view head) noexcept {
  return text.size() >= head.size() &&
         EqualsIgnoringCase(text.substr(0, head.size()), head);
}

bool ContainsIgnoringCase(std::string_view text,
                          std::string_view part) noexcept {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (StartsWithIgnoringCase(text.substr(i), part)) return true;
  return false;
}

bool AllDigits(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace vantor
