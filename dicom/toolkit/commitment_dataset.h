// The datasets of Storage Commitment (push model): the request an N-ACTION
// carries and the report an N-EVENT-REPORT carries. For the toolkit layer
// only.
#ifndef VANTOR_DICOM_COMMITMENT_DATASET_H_
#define VANTOR_DICOM_COMMITMENT_DATASET_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <cstdint>
#include <memory>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// The action type of a Storage Commitment request.
inline constexpr uint16_t kCommitmentActionType = 1;
// The event types of its report.
inline constexpr uint16_t kAllCommitted = 1;
inline constexpr uint16_t kSomeFailed = 2;

// Reads the request from `data` (null when the N-ACTION carried none) into
// `request`. Returns 0000, or the N-ACTION failure status with the reason
// in `why`: 0120 when the Transaction UID or the Referenced SOP Sequence is
// missing or empty, or an item lacks one of its UIDs; 0106 when the
// sequence holds no item. UIDs are taken without padding.
uint16_t ReadCommitmentRequest(const DcmDataset* data,
                               CommitmentRequest& request, std::string& why);

// 1 when nothing of `report` failed, else 2.
uint16_t CommitmentEventType(const CommitmentReport& report);

// The event information of `report`: Transaction UID; Retrieve AE Title
// (when given) and the Referenced SOP Sequence when something is
// committed; the Failed SOP Sequence, each item with its Failure Reason,
// when something failed.
std::unique_ptr<DcmDataset> CommitmentReportDataset(
    const CommitmentReport& report);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_COMMITMENT_DATASET_H_
