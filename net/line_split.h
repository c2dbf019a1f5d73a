// Received text cut into lines at a separator, as a socket with a
// LineSeparator hands it on.
#ifndef VANTOR_NET_LINE_SPLIT_H_
#define VANTOR_NET_LINE_SPLIT_H_

#include <cstddef>
#include <functional>
#include <string>

namespace vantor {

// Appends `data` up to its first NUL (text stops there) to `buffer`.
void AppendReceivedText(std::string& buffer, const char* data, size_t size);

// Hands every complete line at the front of `buffer` (without its
// separator) to `on_line` and removes it with its separator; the unfinished
// rest stays. `separator` is read again before each line, since a handler
// may change it; an empty one stops. Once `on_line` returns false nothing
// is touched any more (its owner may be gone).
void TakeLines(std::string& buffer, const std::string& separator,
               const std::function<bool(const std::string& line)>& on_line);

}  // namespace vantor

#endif  // VANTOR_NET_LINE_SPLIT_H_
