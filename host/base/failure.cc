#include "host/base/failure.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "host/base/log.h"

namespace vantor {

int32_t FileErrorNumber(int err, bool names_a_file) noexcept {
  switch (err) {
    case ENOENT:
      return names_a_file ? kFileNotFound : kPathNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EACCES:
    case EPERM:
      return kPermissionDenied;
    default:
      return kPathFileAccessError;
  }
}

const char* FileErrorText(int32_t number) noexcept {
  switch (number) {
    case kFileNotFound:
      return "File not found";
    case kPathNotFound:
      return "Path not found";
    case kPermissionDenied:
      return "Permission denied";
    default:
      return "Path/File access error";
  }
}

FailureInfo CurrentFailure() noexcept {
  try {
    throw;
  } catch (const Failure& f) {
    return {f.number(), f.what()};
  } catch (const std::bad_alloc&) {
    return {kOutOfMemory, "Out of memory"};
  } catch (const std::system_error& e) {
    return {e.code().value(), e.what()};
  } catch (const std::out_of_range& e) {
    return {kOverflow, std::string("Overflow: ") + e.what()};
  } catch (const std::exception& e) {
    return {kInternalError, e.what()};
  } catch (...) {
    return {kInternalError, "Internal error"};
  }
}

void LogCurrentFailure(std::string_view procedure) noexcept {
  FailureInfo info = CurrentFailure();
  ErrorLogWrite(info.number, info.description, procedure);
}

void LogCurrentFailure(const Log& log, std::string_view procedure) noexcept {
  FailureInfo info = CurrentFailure();
  log.Error(info.number, info.description, procedure);
}

}  // namespace vantor
