#include "net/line_split.h"

#include <cstring>

namespace vantor {

void AppendReceivedText(std::string& buffer, const char* data, size_t size) {
  buffer.append(data, strnlen(data, size));
}

void TakeLines(std::string& buffer, const std::string& separator,
               const std::function<bool(const std::string& line)>& on_line) {
  size_t at;
  while (!separator.empty() &&
         (at = buffer.find(separator)) != std::string::npos) {
    std::string line = buffer.substr(0, at);
    buffer.erase(0, at + separator.size());
    if (!on_line(line)) return;
  }
}

}  // namespace vantor
