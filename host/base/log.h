// The service's log files under <program dir>/Logs. Every line is one
// open-append-close; fields are TAB-separated, the first is the local date
// and time "YYYY-MM-DD HH:MM:SS", the line ends in CR LF. Lines are written
// whole even when several threads log at once. Failures are swallowed.
#ifndef VANTOR_HOST_BASE_LOG_H_
#define VANTOR_HOST_BASE_LOG_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// "ErrorVantor<port>.log" line: number, message, procedure. Also writes
// "[Error #<number>] <message>" to the debug log.
void ErrorLogWrite(int32_t number, std::string_view message,
                   std::string_view procedure) noexcept;

// "DebugVantor<port>.log" line: message, procedure; only with the instance
// debug switch on.
void DebugLogWrite(std::string_view message,
                   std::string_view procedure) noexcept;

// The current local time as "YYYY-MM-DD HH:MM:SS".
std::string LogTimestamp();

// `text` with every control byte (0x00 to 0x1F and 0x7F) written as \xNN
// (two upper-case hex digits); everything else, UTF-8 included, as it is.
std::string EscapeControlBytes(std::string_view text);

// The line "<timestamp>\t<field>\t<field>...\r\n"; control bytes inside
// the fields are escaped (EscapeControlBytes), so one call is one line.
std::string LogLine(const std::vector<std::string>& fields);

// Appends `text` as it stands to Logs/<file_name>. Returns false on failure
// (the caller decides whether that is an error). Never throws.
bool AppendLogFile(std::string_view file_name, std::string_view text) noexcept;

// Appends one shared-layout line to Logs/<file_name>; throws a Failure when
// the file cannot be opened or written (for handlers that log their own
// failures).
void AppendEventLine(std::string_view file_name,
                     const std::vector<std::string>& fields);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_LOG_H_
