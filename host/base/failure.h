// The one failure path every procedure boundary shares: a procedure runs its
// body through Guard(), which turns any failure into the error-log line
// "number TAB description TAB procedure" and the procedure's neutral result.
#ifndef VANTOR_HOST_BASE_FAILURE_H_
#define VANTOR_HOST_BASE_FAILURE_H_

#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/base/log.h"

namespace vantor {

// A numbered failure with its description, as the error log records it.
class Failure : public std::runtime_error {
 public:
  Failure(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t number() const { return number_; }

 private:
  int32_t number_;
};

// Well-known failure numbers (the classic runtime's numbering, kept so the
// error log reads the same on every platform).
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kOutOfMemory = 7;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kInternalError = 51;
inline constexpr int32_t kFileNotFound = 53;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kPermissionDenied = 70;
inline constexpr int32_t kPathFileAccessError = 75;
inline constexpr int32_t kInvalidUseOfNull = 94;
inline constexpr int32_t kDatabaseError = -2147467259;  // 0x80004005

// The failure number for the errno of a failed file, folder or program
// operation, the one mapping every such operation uses: a missing part of
// the path is 76 (53 when `names_a_file` says the missing thing is the file
// itself, as for a program to start), refused access 70, anything else 75.
int32_t FileErrorNumber(int err, bool names_a_file = false) noexcept;
// The classic description of such a number ("Path not found", ...).
const char* FileErrorText(int32_t number) noexcept;

// Number and description of the exception being handled.
// REQUIRES: called inside a catch block.
struct FailureInfo {
  int32_t number;
  std::string description;
};
FailureInfo CurrentFailure() noexcept;

// Writes the error-log line for the current exception under `procedure`.
// REQUIRES: called inside a catch block.
void LogCurrentFailure(std::string_view procedure) noexcept;
// The same into `log` (a handler's log value).
void LogCurrentFailure(const Log& log, std::string_view procedure) noexcept;

// Runs body(); on any failure logs it under `procedure` and returns
// `neutral`. Never throws.
template <typename R, typename F>
R Guard(std::string_view procedure, R neutral, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    LogCurrentFailure(procedure);
    return neutral;
  }
}

// Same for procedures without a result.
template <typename F>
void GuardVoid(std::string_view procedure, F&& body) noexcept {
  try {
    body();
  } catch (...) {
    LogCurrentFailure(procedure);
  }
}

// Guard and GuardVoid for handlers given a log value: the failure's line
// goes into `log`.
template <typename R, typename F>
R Guard(const Log& log, std::string_view procedure, R neutral,
        F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    LogCurrentFailure(log, procedure);
    return neutral;
  }
}

template <typename F>
void GuardVoid(const Log& log, std::string_view procedure, F&& body) noexcept {
  try {
    body();
  } catch (...) {
    LogCurrentFailure(log, procedure);
  }
}

// For procedures whose failure path does more than log: runs body(); on any
// failure calls on_failure(FailureInfo). Whatever on_failure throws is
// swallowed. Never throws.
template <typename F, typename H>
void GuardWith(F&& body, H&& on_failure) noexcept {
  try {
    body();
  } catch (...) {
    FailureInfo info = CurrentFailure();
    try {
      on_failure(info);
    } catch (...) {
    }
  }
}

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_FAILURE_H_
