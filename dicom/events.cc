#include "dicom/events.h"

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor::dicom {

void DCMServer_VerifyReceived(int32_t& Status) {
  try {
    Status = 0;
    DebugLogWrite("Verify received", "VerifyReceived");
  } catch (...) {
    LogCurrentFailure("VerifyReceived");
    Status = 2;
  }
}

void DCMServer_ActionComplete(const Config& settings,
                              const Connection& connection,
                              const std::string& Action, bool /*Success*/,
                              const std::string& ErrorMessage) {
  GuardVoid("ActionComplete", [&] {
    const Config* config = &settings;
    if (!config->AnyDebug()) return;
    AppendEventLine("Action" + std::to_string(config->DCM) + ".log",
                    {Action, std::to_string(connection.number), ErrorMessage});
  });
}

void DCMServer_InfoMessage(const Config& settings, int16_t InfoType,
                           const std::string& Text) {
  GuardVoid("InfoMessages", [&] {
    const Config* config = &settings;
    if (!config->AnyDebug()) return;
    AppendEventLine("Message" + std::to_string(config->DCM) + ".log",
                    {std::to_string(InfoType), Text});
  });
}

}  // namespace vantor::dicom
