#include "host/failure.h"

#include <new>
#include <system_error>

#include "host/log.h"

namespace vantor {

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

}  // namespace vantor
