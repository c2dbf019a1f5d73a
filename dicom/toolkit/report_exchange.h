// Sending a Storage Commitment report as N-EVENT-REPORT-RQ on an open
// association and waiting for its answer; shared by the report on the
// requester's association and the one on an association of our own. For
// the toolkit layer only.
#ifndef VANTOR_DICOM_REPORT_EXCHANGE_H_
#define VANTOR_DICOM_REPORT_EXCHANGE_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <cstdint>
#include <functional>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

enum class ReportAnswer {
  kAnswered,      // the N-EVENT-REPORT-RSP came; `status` is its status
  kReleased,      // the peer asked for the release (not yet acknowledged)
  kLost,          // sending or receiving failed; the association is gone
  kTimedOut,      // no answer in time, or `stop` said so
  kOtherCommand,  // the peer sent another command instead of the answer
};

struct ReportExchange {
  ReportAnswer answer = ReportAnswer::kLost;
  uint16_t status = 0;
  std::string why;  // what happened, for the logs ("" when answered)
};

// Sends `report` on the presentation context `pc_id` of `assoc` and waits
// up to `timeout_seconds` for the answer, looking at `stop` (may be empty)
// every second. A dataset the answer carries is read and dropped.
ReportExchange ExchangeReport(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID pc_id,
                              const CommitmentReport& report,
                              int timeout_seconds,
                              const std::function<bool()>& stop);

// "0110": a status as the logs write it.
std::string StatusHex(uint16_t status);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_REPORT_EXCHANGE_H_
