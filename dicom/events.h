// The small protocol events: verification, action complete, info message.
#ifndef VANTOR_DICOM_EVENTS_H_
#define VANTOR_DICOM_EVENTS_H_

#include <cstdint>
#include <string>

#include "dicom/toolkit/toolkit.h"
#include "host/base/log.h"

namespace vantor::dicom {

// Answers every C-ECHO with 0 ("Verify received" in the debug log); 2 when
// that fails.
void DCMServer_VerifyReceived(const Log& log, int32_t& Status);

// Action log line "<action> TAB <connection number> TAB <error message>"
// when either debug switch is on.
void DCMServer_ActionComplete(const Log& log, const Connection& connection,
                              const std::string& Action, bool Success,
                              const std::string& ErrorMessage);

// Message log line "<type> TAB <text>" when either debug switch is on.
void DCMServer_InfoMessage(const Log& log, int16_t InfoType,
                           const std::string& Text);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_EVENTS_H_
