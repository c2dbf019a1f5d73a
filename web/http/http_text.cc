#include "web/http/http_text.h"

#include <cstring>

namespace vantor {

bool TokenChar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9'))
    return true;
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && Blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace vantor
