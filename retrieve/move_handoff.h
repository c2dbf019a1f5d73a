// C-MOVE hand-off: writes the send job for the sender program and starts it.
#ifndef VANTOR_RETRIEVE_MOVE_HANDOFF_H_
#define VANTOR_RETRIEVE_MOVE_HANDOFF_H_

#include <cstdint>
#include <string>

#include "dicom/toolkit.h"
#include "host/database.h"

namespace vantor {

// Hands the C-MOVE to the sender: destination `address`:`port`, called AE
// title `calling_aet` (the destination's). False when the hand-off failed
// (logged).
bool ImagePrepareForSend(Database& db, const dicom::Dataset& identifier,
                         bool bSiemensBug, bool bInternalID,
                         const std::string& address, int32_t port,
                         const std::string& calling_aet);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_MOVE_HANDOFF_H_
