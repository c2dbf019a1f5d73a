// Storage Commitment (push model) as SCP on an association the server runs:
// the N-ACTION request, its response, and the report back on the same
// association while the requester holds it, else handed to the service to
// send on an association of its own. For the toolkit layer only.
#ifndef VANTOR_DICOM_COMMITMENT_SCP_H_
#define VANTOR_DICOM_COMMITMENT_SCP_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <atomic>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// Seconds the requester has to answer the report on its association.
inline constexpr int kReportAnswerSeconds = 30;

// Serves the N-ACTION `rq` with its dataset `data` (null when it carried
// none): asks `events` whether the caller may, checks the request, answers
// it, and for a request taken has `events` decide and sends the report. The
// report goes on this association; when the requester releases or aborts
// it first, sends another command, does not answer within
// kReportAnswerSeconds or `stopping` is set, the association ends (the
// release acknowledged, else aborted) and the report goes to
// events.CommitmentReportUndelivered. Returns false when the association
// ended. Never throws.
bool ServeCommitment(T_ASC_Association* assoc, const Connection& conn,
                     T_ASC_PresentationContextID pres_id,
                     const T_DIMSE_N_ActionRQ& rq, const DcmDataset* data,
                     ServerEvents& events, const std::atomic<bool>& stopping);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_COMMITMENT_SCP_H_
