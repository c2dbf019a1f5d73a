#include "dicom/toolkit/report_exchange.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "dicom/toolkit/commitment_dataset.h"

namespace vantor::dicom {

std::string StatusHex(uint16_t status) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  return text;
}

ReportExchange ExchangeReport(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID pc_id,
                              const CommitmentReport& report,
                              int timeout_seconds,
                              const std::function<bool()>& stop) {
  ReportExchange result;
  std::unique_ptr<DcmDataset> data = CommitmentReportDataset(report);
  T_DIMSE_Message rq;
  std::memset(&rq, 0, sizeof rq);
  rq.CommandField = DIMSE_N_EVENT_REPORT_RQ;
  T_DIMSE_N_EventReportRQ& r = rq.msg.NEventReportRQ;
  const DIC_US message_id = assoc->nextMsgID++;
  r.MessageID = message_id;
  OFStandard::strlcpy(r.AffectedSOPClassUID,
                      UID_StorageCommitmentPushModelSOPClass,
                      sizeof r.AffectedSOPClassUID);
  OFStandard::strlcpy(r.AffectedSOPInstanceUID,
                      UID_StorageCommitmentPushModelSOPInstance,
                      sizeof r.AffectedSOPInstanceUID);
  r.DataSetType = DIMSE_DATASET_PRESENT;
  r.EventTypeID = CommitmentEventType(report);
  OFCondition cond = DIMSE_sendMessageUsingMemoryData(
      assoc, pc_id, &rq, nullptr, data.get(), nullptr, nullptr);
  if (cond.bad()) {
    result.why = std::string("sending the report failed: ") + cond.text();
    return result;
  }
  for (int waited = 0; waited < timeout_seconds; ++waited) {
    if (stop && stop()) break;
    T_ASC_PresentationContextID answer_id = 0;
    T_DIMSE_Message rsp;
    std::memset(&rsp, 0, sizeof rsp);
    DcmDataset* raw_detail = nullptr;
    cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, 1, &answer_id, &rsp,
                                &raw_detail);
    std::unique_ptr<DcmDataset> detail(raw_detail);
    if (cond == DIMSE_NODATAAVAILABLE) continue;
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      result.answer = ReportAnswer::kReleased;
      result.why = "the requester released the association";
      return result;
    }
    if (cond.bad()) {
      result.why = std::string("no answer to the report: ") + cond.text();
      return result;
    }
    if (rsp.CommandField != DIMSE_N_EVENT_REPORT_RSP ||
        rsp.msg.NEventReportRSP.MessageIDBeingRespondedTo != message_id) {
      result.answer = ReportAnswer::kOtherCommand;
      result.why = "command " + std::to_string(rsp.CommandField) +
                   " instead of the answer to the report";
      return result;
    }
    if (rsp.msg.NEventReportRSP.DataSetType != DIMSE_DATASET_NULL) {
      DcmDataset* raw_reply = nullptr;
      cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING,
                                          timeout_seconds, &answer_id,
                                          &raw_reply, nullptr, nullptr);
      delete raw_reply;
      if (cond.bad()) {
        result.why = std::string("the answer's dataset: ") + cond.text();
        return result;
      }
    }
    result.answer = ReportAnswer::kAnswered;
    result.status = rsp.msg.NEventReportRSP.DimseStatus;
    return result;
  }
  result.answer = ReportAnswer::kTimedOut;
  result.why = "no answer to the report within " +
               std::to_string(timeout_seconds) + " s";
  return result;
}

}  // namespace vantor::dicom
