// File helpers every floor may use.
#ifndef VANTOR_HOST_BASE_FILES_H_
#define VANTOR_HOST_BASE_FILES_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "host/base/failure.h"

namespace vantor {

// Deletes every file matching `path` ("\" at the end means every file of
// that folder), read-only files included; folders are not touched. A pattern
// that matches nothing is logged under "DateienLoeschen".
void DateienLoeschen(const std::string& path);

// The failure of a file operation that failed with `err` (an errno value):
// its number is FileErrorNumber(err), its description the system's text for
// `err`, followed by " (context)" when a context is given.
Failure FileError(int err);
Failure FileError(int err, std::string_view context);
[[noreturn]] void ThrowFileError(int err);
[[noreturn]] void ThrowFileError(int err, std::string_view context);

// Writes all `size` bytes of `data` to `fd`, again after a short write or an
// interrupted one. Returns 0, or the errno of the write that failed.
int WriteAll(int fd, const void* data, size_t size) noexcept;

// Creates or replaces `path` with `text`; every write and the close are
// checked. Throws FileError(errno) when it cannot.
void WriteWholeFile(const std::string& path, std::string_view text);

// The bytes of `path`; empty when it cannot be opened for reading.
std::optional<std::string> TryReadWholeFile(const std::string& path);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_FILES_H_
