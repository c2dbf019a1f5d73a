// The server's responses: the C-STORE response, C-ECHO, the query requests
// (C-FIND, C-GET, C-MOVE, answered by the request object the host fills),
// a received image and an event report.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/query_request.h"
#include "dicom/toolkit/received_image.h"
#include "dicom/toolkit/server_impl.h"
#include "host/base/failure.h"

namespace vantor::dicom {

namespace server_impl {

OFCondition SendStoreResponse(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID id, DIC_US message_id,
                              const std::string& sop_class,
                              const std::string& sop_instance, bool padded,
                              uint16_t status) {
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_C_STORE_RSP;
  T_DIMSE_C_StoreRSP& r = rsp.msg.CStoreRSP;
  r.MessageIDBeingRespondedTo = message_id;
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.opts = 0;
  if (!sop_class.empty() && sop_class.size() < sizeof r.AffectedSOPClassUID) {
    OFStandard::strlcpy(r.AffectedSOPClassUID, sop_class.c_str(),
                        sizeof r.AffectedSOPClassUID);
    r.opts |= O_STORE_AFFECTEDSOPCLASSUID;
  }
  if (!sop_instance.empty() &&
      sop_instance.size() < sizeof r.AffectedSOPInstanceUID) {
    OFStandard::strlcpy(r.AffectedSOPInstanceUID, sop_instance.c_str(),
                        sizeof r.AffectedSOPInstanceUID);
    r.opts |= O_STORE_AFFECTEDSOPINSTANCEUID;
  }
  if (padded) r.opts |= O_STORE_PEER_REQUIRES_EXACT_UID_COPY;
  return DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr,
                                          nullptr, nullptr);
}

std::string AcceptedSyntax(T_ASC_Association* assoc,
                           T_ASC_PresentationContextID id) {
  T_ASC_PresentationContext pc;
  if (ASC_findAcceptedPresentationContext(assoc->params, id, &pc).bad())
    return UID_LittleEndianImplicitTransferSyntax;
  return pc.acceptedTransferSyntax;
}

std::string StatusText(uint16_t status) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  return text;
}

}  // namespace server_impl

using namespace server_impl;


uint16_t Server::Impl::HandleEcho(T_ASC_Association* assoc,
                                  T_ASC_PresentationContextID id,
                                  const T_DIMSE_C_EchoRQ& rq) {
  int32_t status = 0;
  GuardVoid("DCMServer", [&] { events.VerifyReceived(status); });
  DIMSE_sendEchoResponse(assoc, id, &rq, static_cast<DIC_US>(status), nullptr);
  return static_cast<uint16_t>(status);
}

std::optional<uint16_t> Server::Impl::HandleQuery(T_ASC_Association* assoc,
                                   const Connection& conn,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_Message& msg,
                               DcmDataset* identifier, int& sent) {
  std::string charset = DecodeToUtf8(*identifier);
  DcmQueryRequest request(assoc, id, msg, conn, FromDcmDataset(*identifier),
                          charset);
  GuardVoid("DCMServer", [&] { events.QueryRequest(request); });
  request.EnsureFinal();
  if (request.sent_files()) {
    Action(conn, "C-GET", request.sub_operations().failed == 0,
           request.sub_operation_error());
  }
  sent = request.sub_operations().completed + request.sub_operations().warning;
  return request.final_status();
}

uint16_t Server::Impl::HandleStore(T_ASC_Association* assoc,
                                   const Connection& conn,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_C_StoreRQ& rq,
                               DcmReceivedImage& image) {
  uint16_t status = kStatusOutOfResources;
  GuardVoid("DCMServer",
            [&] { status = events.ImageReceivedAsync(conn, image); });
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_C_STORE_RSP;
  T_DIMSE_C_StoreRSP& r = rsp.msg.CStoreRSP;
  r.MessageIDBeingRespondedTo = rq.MessageID;
  OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID,
                      sizeof r.AffectedSOPClassUID);
  OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID,
                      sizeof r.AffectedSOPInstanceUID);
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
  if (rq.opts & O_STORE_RQ_BLANK_PADDING)
    r.opts |= O_STORE_PEER_REQUIRES_EXACT_UID_COPY;
  OFCondition cond = DIMSE_sendMessageUsingMemoryData(
      assoc, id, &rsp, nullptr, nullptr, nullptr, nullptr);
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  Action(conn, "C-STORE", status == kStatusSuccess && cond.good(),
         status == kStatusSuccess ? std::string(cond.good() ? "" : cond.text())
                                  : std::string("Status ") + text);
  return status;
}

uint16_t Server::Impl::HandleEventReport(T_ASC_Association* assoc,
                                     const Connection& conn,
                                     T_ASC_PresentationContextID id,
                                     const T_DIMSE_N_EventReportRQ& rq,
                                     std::unique_ptr<DcmDataset> data) {
  Dataset dataset;
  if (data) {
    DecodeToUtf8(*data);
    dataset = FromDcmDataset(*data);
  }
  uint16_t status = kStatusSuccess;
  GuardVoid("DCMServer",
            [&] { events.EventReport(conn, rq.EventTypeID, dataset, status); });
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_N_EVENT_REPORT_RSP;
  T_DIMSE_N_EventReportRSP& r = rsp.msg.NEventReportRSP;
  r.MessageIDBeingRespondedTo = rq.MessageID;
  OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID,
                      sizeof r.AffectedSOPClassUID);
  OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID,
                      sizeof r.AffectedSOPInstanceUID);
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.EventTypeID = rq.EventTypeID;
  r.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID |
           O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID | O_NEVENTREPORT_EVENTTYPEID;
  DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr, nullptr,
                                   nullptr);
  return status;
}

}  // namespace vantor::dicom
