// The Storage Commitment report on an association of the service's own:
// the service asks the requester's node for an association on which it
// takes the SCP role of the Storage Commitment class, and sends the report.
#ifndef VANTOR_DICOM_EVENT_REPORT_CLIENT_H_
#define VANTOR_DICOM_EVENT_REPORT_CLIENT_H_

#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// Associates with `destination` proposing the Storage Commitment Push Model
// class with role selection (we the SCP), sends `report` as
// N-EVENT-REPORT-RQ, waits for its answer and releases. Returns "" when
// the node answered 0000, else what went wrong. Never throws.
std::string SendCommitmentReport(const ReportDestination& destination,
                                 const CommitmentReport& report);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_EVENT_REPORT_CLIENT_H_
