// STOW-RS: a multipart/related body of application/dicom parts, each
// written to disk as it arrives and handed to the same reception as a
// C-STORE (UID checks, dismissal, disk wait, durable write, import). The
// answer lists what was stored and what failed, and why.
#ifndef VANTOR_WEB_STOW_H_
#define VANTOR_WEB_STOW_H_

#include <cstdint>
#include <string>
#include <vector>

#include "web/web_call.h"

namespace vantor::web {

struct StowOutcome {
  std::string sop_class;
  std::string sop_instance;
  uint16_t status = 0;   // the reception's status; 0 = stored
  std::string retrieve_url;  // for a stored instance
};

// The answer's status for the outcomes: 200 when all were stored, 409 when
// none was, 202 otherwise.
int StowStatus(const std::vector<StowOutcome>& outcomes);

// The answer's DICOM JSON: Retrieve URL of the study (when known),
// Referenced SOP Sequence and Failed SOP Sequence with the reasons.
std::string StowAnswer(const std::string& study_url,
                       const std::vector<StowOutcome>& outcomes);

void StoreInstances(WebCall& call);

}  // namespace vantor::web

#endif  // VANTOR_WEB_STOW_H_
