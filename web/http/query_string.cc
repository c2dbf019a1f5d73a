#include "web/http/query_string.h"

#include "host/base/failure.h"

namespace vantor {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void Invalid() {
  throw Failure(kInvalidProcedureCall, "Invalid procedure call or argument");
}

std::string Decode(std::string_view text, bool plus_is_blank) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (text.size() - i < 3) Invalid();
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) Invalid();
      c = static_cast<char>(high * 16 + low);
      i += 2;
    } else if (c == '+' && plus_is_blank) {
      c = ' ';
    }
    if (c == '\0') Invalid();
    out += c;
  }
  return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseQueryString(
    std::string_view query) {
  std::vector<std::pair<std::string, std::string>> params;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) {
      params.emplace_back(Decode(pair, true), std::string());
    } else {
      params.emplace_back(Decode(pair.substr(0, eq), true),
                          Decode(pair.substr(eq + 1), true));
    }
  }
  return params;
}

std::string PercentDecodePath(std::string_view segment) {
  return Decode(segment, false);
}

}  // namespace vantor
