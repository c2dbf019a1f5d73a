// The socket's line splitter: received chunks cut into lines at a
// separator. Nothing is lost or made up: the lines, each with the
// separator, and the rest give back the received text (each chunk up to
// its first NUL), and no line holds the separator.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/line_split.h"

// The input: the separator's length (1 to 4) and bytes, then chunks, each
// a length byte and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t separator_size = 1 + data[0] % 4;
  if (size < 1 + separator_size) return 0;
  const std::string separator(reinterpret_cast<const char*>(data + 1),
                              separator_size);
  size_t i = 1 + separator_size;
  std::string buffer, received, joined;
  while (i < size) {
    size_t length = data[i++];
    if (length > size - i) length = size - i;
    const char* chunk = reinterpret_cast<const char*>(data + i);
    vantor::AppendReceivedText(buffer, chunk, length);
    received.append(chunk, strnlen(chunk, length));
    vantor::TakeLines(buffer, separator, [&](const std::string& line) {
      if (line.find(separator) != std::string::npos) {
        std::fprintf(stderr, "a line holds the separator\n");
        std::abort();
      }
      joined += line + separator;
      return true;
    });
    i += length;
  }
  if (joined + buffer != received) {
    std::fprintf(stderr, "the lines do not give back the received text\n");
    std::abort();
  }
  return 0;
}
