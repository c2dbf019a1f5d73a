#include "dicom/events.h"

#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor::dicom {

void DCMServer_VerifyReceived(const Log& log, int32_t& Status) {
  try {
    Status = 0;
    log.Debug("Verify received", "VerifyReceived");
  } catch (...) {
    LogCurrentFailure(log, "VerifyReceived");
    Status = 2;
  }
}

void DCMServer_ActionComplete(const Log& log, const Connection& connection,
                              const std::string& Action, bool /*Success*/,
                              const std::string& ErrorMessage) {
  GuardVoid(log, "ActionComplete", [&] {
    if (!log.any_debug()) return;
    AppendEventLine(log.PortFile("Action"),
                    {Action, std::to_string(connection.number), ErrorMessage});
  });
}

void DCMServer_InfoMessage(const Log& log, int16_t InfoType,
                           const std::string& Text) {
  GuardVoid(log, "InfoMessages", [&] {
    if (!log.any_debug()) return;
    AppendEventLine(log.PortFile("Message"), {std::to_string(InfoType), Text});
  });
}

}  // namespace vantor::dicom
