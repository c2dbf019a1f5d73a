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

struct Config;

// The service's logs as one settings snapshot has them: the instance's port
// (it names the files), the instance debug switch (the debug log) and
// whether either debug switch is on (the event logs: associations, actions,
// messages, receptions). Made once per snapshot and handed to the handlers
// with it, so that all lines of a request follow the settings its context
// was made with. A plain value: cheap to copy, safe to share between threads.
class Log {
 public:
  // No debug switch on; the error log of port 0.
  Log() : Log(0, false, false) {}
  Log(int32_t port, bool debug, bool any_debug);
  // The log of the snapshot `config` (DCM, Debug, AnyDebug()).
  static Log Of(const Config& config);

  // "ErrorVantor<port>.log" line: number, message, procedure. Also writes
  // "[Error #<number>] <message>" to the debug log.
  void Error(int32_t number, std::string_view message,
             std::string_view procedure) const noexcept;
  // "DebugVantor<port>.log" line: message, procedure; only with the
  // instance debug switch on.
  void Debug(std::string_view message,
             std::string_view procedure) const noexcept;

  int32_t port() const { return port_; }
  bool debug() const { return debug_; }
  bool any_debug() const { return any_debug_; }
  const std::string& error_file() const { return error_file_; }
  const std::string& debug_file() const { return debug_file_; }
  // "<stem><port>.log", the name of one of the instance's event logs.
  std::string PortFile(std::string_view stem) const;

 private:
  int32_t port_;
  bool debug_;
  bool any_debug_;
  std::string error_file_;
  std::string debug_file_;
};

// The host's façade: the log of the current settings snapshot (Settings()).
// Handlers use the value they are given instead.
Log CurrentLog();

// CurrentLog().Error(...): for the host and the base floor's own procedures.
void ErrorLogWrite(int32_t number, std::string_view message,
                   std::string_view procedure) noexcept;

// CurrentLog().Debug(...): for the host and the base floor's own procedures.
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
