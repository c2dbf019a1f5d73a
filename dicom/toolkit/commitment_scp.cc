#include "dicom/toolkit/commitment_scp.h"

#include <dcmtk/dcmdata/dcuid.h>

#include <cstring>
#include <string>

#include "dicom/toolkit/commitment_dataset.h"
#include "dicom/toolkit/report_exchange.h"
#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor::dicom {
namespace {

constexpr char kProcedure[] = "DCMServer StorageCommitment";
// The message log's type for an association that ended without release.
constexpr int16_t kInfoAssociationAborted = 3;

std::string Caller(const Connection& conn) {
  std::string aet = conn.calling_aet;
  while (!aet.empty() && aet.back() == ' ') aet.pop_back();
  return aet + "/" + conn.remote_ip;
}

OFCondition SendActionResponse(T_ASC_Association* assoc,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_N_ActionRQ& rq, uint16_t status) {
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_N_ACTION_RSP;
  T_DIMSE_N_ActionRSP& r = rsp.msg.NActionRSP;
  r.MessageIDBeingRespondedTo = rq.MessageID;
  OFStandard::strlcpy(r.AffectedSOPClassUID, rq.RequestedSOPClassUID,
                      sizeof r.AffectedSOPClassUID);
  OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.RequestedSOPInstanceUID,
                      sizeof r.AffectedSOPInstanceUID);
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.ActionTypeID = rq.ActionTypeID;
  r.opts = O_NACTION_AFFECTEDSOPCLASSUID | O_NACTION_AFFECTEDSOPINSTANCEUID |
           O_NACTION_ACTIONTYPEID;
  return DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr,
                                          nullptr, nullptr);
}

// The N-ACTION status of the request's own content (`read` and `why` as
// ReadCommitmentRequest left them), logging a refusal.
uint16_t CheckRequest(const Connection& conn, const T_DIMSE_N_ActionRQ& rq,
                      uint16_t read, std::string why) {
  uint16_t status = read;
  if (rq.ActionTypeID != kCommitmentActionType) {
    status = kStatusNoSuchActionType;
    why = "action type " + std::to_string(rq.ActionTypeID);
  }
  if (status != kStatusSuccess) {
    ErrorLogWrite(0,
                  "Storage commitment request from " + Caller(conn) +
                      " refused with " + StatusHex(status) + ": " + why,
                  kProcedure);
  }
  return status;
}

// The report of an accepted request, on the caller's association when it
// stays to hear it; false when the association ended (the report then goes
// on an association of our own).
bool Report(T_ASC_Association* assoc, const Connection& conn,
            T_ASC_PresentationContextID pres_id,
            const CommitmentRequest& request,
            const CommitmentAcceptance& acceptance, ServerEvents& events,
            const std::atomic<bool>& stopping) {
  CommitmentReport report;
  report.transaction_uid = request.transaction_uid;
  report.retrieve_aet = acceptance.retrieve_aet;
  bool decided = false;
  GuardVoid(kProcedure, [&] {
    report.outcome = events.CommitmentDecide(request);
    decided = true;
  });
  if (!decided) {
    // Nothing is reported committed that was not looked at.
    report.outcome = {};
    for (const SopReference& reference : request.references)
      report.outcome.failed.push_back({reference, kStatusProcessingFailure});
  }
  ReportExchange exchange =
      ExchangeReport(assoc, pres_id, report, kReportAnswerSeconds,
                     [&] { return stopping.load(); });
  if (exchange.answer == ReportAnswer::kAnswered) {
    if (exchange.status == kStatusSuccess) {
      DebugLogWrite("Storage commitment " + report.transaction_uid +
                        " reported to " + Caller(conn) + " on its association",
                    kProcedure);
    } else {
      ErrorLogWrite(0,
                    "Storage commitment " + report.transaction_uid +
                        ": the report was answered " +
                        StatusHex(exchange.status) + " by " + Caller(conn),
                    kProcedure);
    }
    return true;
  }
  DebugLogWrite("Storage commitment " + report.transaction_uid +
                    ": not reported on the association of " + Caller(conn) +
                    " (" + exchange.why +
                    "); it goes on an association of "
                    "our own",
                kProcedure);
  if (exchange.answer == ReportAnswer::kReleased) {
    ASC_acknowledgeRelease(assoc);
  } else {
    GuardVoid(kProcedure, [&] {
      events.InfoMessage(kInfoAssociationAborted,
                         "Association " + std::to_string(conn.number) +
                             " from " + Caller(conn) +
                             " ended without release: " + exchange.why);
    });
    ASC_abortAssociation(assoc);
  }
  GuardVoid(kProcedure, [&] {
    events.CommitmentReportUndelivered(acceptance.destination, report);
  });
  return false;
}


}  // namespace

bool ServeCommitment(T_ASC_Association* assoc, const Connection& conn,
                     T_ASC_PresentationContextID pres_id,
                     const T_DIMSE_N_ActionRQ& rq, const DcmDataset* data,
                     ServerEvents& events, const std::atomic<bool>& stopping) {
  CommitmentRequest request;
  std::string why;
  // A request that does not read is refused once the caller is known to
  // be allowed (strangers learn nothing of what is wrong with it).
  const uint16_t read = ReadCommitmentRequest(data, request, why);
  CommitmentAcceptance acceptance;
  GuardVoid(kProcedure,
            [&] { acceptance = events.CommitmentRequested(conn, request); });
  uint16_t status = acceptance.status;
  if (status == kStatusSuccess) status = CheckRequest(conn, rq, read, why);
  OFCondition sent = SendActionResponse(assoc, pres_id, rq, status);
  GuardVoid(kProcedure, [&] {
    events.ActionComplete(
        conn, "N-ACTION", status == kStatusSuccess && sent.good(),
        status != kStatusSuccess ? "Status " + StatusHex(status)
        : sent.good()            ? std::string()
                                 : sent.text());
  });
  if (sent.bad()) {
    // The report cannot be sent where the answer could not go either.
    GuardVoid(kProcedure, [&] {
      events.InfoMessage(kInfoAssociationAborted,
                         "Association " + std::to_string(conn.number) +
                             " from " + Caller(conn) +
                             " ended without release: " + sent.text());
    });
    ASC_abortAssociation(assoc);
    if (status == kStatusSuccess) {
      ErrorLogWrite(0,
                    "Storage commitment " + request.transaction_uid + " from " +
                        Caller(conn) +
                        ": its N-ACTION response could not be sent (" +
                        sent.text() + "); the request was not carried out",
                    kProcedure);
    }
    return false;
  }
  if (status != kStatusSuccess) return true;
  return Report(assoc, conn, pres_id, request, acceptance, events, stopping);
}

}  // namespace vantor::dicom
