#include "host/base/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/paths.h"

namespace vantor {
namespace {

// One lock for every log file of the process, so that lines never
// interleave; each line is still one open-append-close, which keeps lines of
// other instances sharing a file (the reception log) whole too.
std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}

// Opens, appends and closes. Returns 0 or the errno of the failed step.
int AppendFile(const std::string& path, std::string_view text) {
  std::lock_guard<std::mutex> lock(LogMutex());
  int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int err = WriteAll(fd, text.data(), text.size());
  if (::close(fd) != 0 && err == 0) err = errno;
  return err;
}

std::string LogPath(std::string_view file_name) {
  std::string path = InProgramDir("Logs/");
  path += file_name;
  return path;
}

}  // namespace

std::string LogTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string EscapeControlBytes(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string LogLine(const std::vector<std::string>& fields) {
  std::string line = LogTimestamp();
  for (const std::string& f : fields) {
    line += '\t';
    // Text from callers (AE titles, UIDs, messages) must not break or forge
    // lines: TAB, CR, LF and the other control bytes are written escaped.
    line += EscapeControlBytes(f);
  }
  line += "\r\n";
  return line;
}

bool AppendLogFile(std::string_view file_name, std::string_view text) noexcept {
  try {
    return AppendFile(LogPath(file_name), text) == 0;
  } catch (...) {
    return false;
  }
}

void AppendEventLine(std::string_view file_name,
                     const std::vector<std::string>& fields) {
  int err = AppendFile(LogPath(file_name), LogLine(fields));
  if (err != 0) ThrowFileError(err);
}

Log::Log(int32_t port, bool debug, bool any_debug)
    : port_(port),
      debug_(debug),
      any_debug_(any_debug),
      error_file_(PortFile("ErrorVantor")),
      debug_file_(PortFile("DebugVantor")) {}

Log Log::Of(const Config& config) {
  return Log(config.DCM, config.Debug, config.AnyDebug());
}

std::string Log::PortFile(std::string_view stem) const {
  std::string name(stem);
  name += std::to_string(port_);
  name += ".log";
  return name;
}

void Log::Error(int32_t number, std::string_view message,
                std::string_view procedure) const noexcept {
  try {
    AppendLogFile(error_file_,
                  LogLine({std::to_string(number), std::string(message),
                           std::string(procedure)}));
    Debug("[Error #" + std::to_string(number) + "] " + std::string(message),
          procedure);
  } catch (...) {
  }
}

void Log::Debug(std::string_view message,
                std::string_view procedure) const noexcept {
  try {
    if (!debug_) return;
    AppendLogFile(debug_file_,
                  LogLine({std::string(message), std::string(procedure)}));
  } catch (...) {
  }
}

Log CurrentLog() { return Log::Of(*Settings()); }

void ErrorLogWrite(int32_t number, std::string_view message,
                   std::string_view procedure) noexcept {
  try {
    CurrentLog().Error(number, message, procedure);
  } catch (...) {
  }
}

void DebugLogWrite(std::string_view message,
                   std::string_view procedure) noexcept {
  try {
    CurrentLog().Debug(message, procedure);
  } catch (...) {
  }
}

}  // namespace vantor
