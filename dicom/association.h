// Association acceptance: every association is accepted and leaves a trace.
#ifndef VANTOR_DICOM_ASSOCIATION_H_
#define VANTOR_DICOM_ASSOCIATION_H_

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/log.h"

namespace vantor::dicom {

// Writes the association log line into `log` (either debug switch on) and
// always the record file Associations/<DCM>/<connection number> holding
// "<calling AE>/<address>" CR LF, both trimmed. Never changes `isOK`;
// failures are logged under "AssociationRequest".
void DCMServer_AssociationRequest2(const Config& config, const Log& log,
                                   const Connection& connection, bool& isOK);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_ASSOCIATION_H_
