#include "dicom/toolkit/query_request.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cstring>
#include <memory>

#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/outgoing_syntax.h"
#include "dicom/toolkit/part10_file.h"
#include "dicom/toolkit/stored_file_store.h"

namespace vantor::dicom {
namespace {

// Time a peer has to answer one C-STORE sub-operation.
constexpr int kStoreResponseTimeout = 120;

bool IsNetworkFailure(const OFCondition& cond) {
  return cond.bad() && cond != DIMSE_NODATAAVAILABLE;
}

// The context a file in `header` goes out on from the disk as it is
// stored: one the requester accepted in the file's own syntax; 0 if none.
T_ASC_PresentationContextID StoredContext(T_ASC_Association* assoc,
                                          const Part10Header& header) {
  if (!header.error.empty() || !header.has_meta) return 0;
  return StoredSyntaxContext(assoc, header.sop_class, header.transfer_syntax);
}

// `path` read into `file`, its UIDs, and the best context the requester
// accepted for it (its own syntax, else one it converts to), the dataset
// converted to that context's syntax; false with the reason in `error`.
bool LoadForContext(T_ASC_Association* assoc, const std::string& path,
                    DcmFileFormat& file, OFString& sop_class,
                    OFString& sop_instance, T_ASC_PresentationContextID& pc_id,
                    std::string& error) {
  OFCondition cond = file.loadFile(path.c_str());
  if (cond.bad()) {
    error = path + ": " + cond.text();
    return false;
  }
  DcmDataset* ds = file.getDataset();
  ds->findAndGetOFString(DCM_SOPClassUID, sop_class);
  ds->findAndGetOFString(DCM_SOPInstanceUID, sop_instance);
  if (sop_class.empty() || sop_instance.empty()) {
    error = path + ": no SOP Class or SOP Instance UID";
    return false;
  }
  const std::string original = DcmXfer(ds->getOriginalXfer()).getXferID();
  std::string why;
  pc_id = PrepareForContext(assoc, sop_class.c_str(), original, *ds, why);
  if (pc_id == 0) {
    error = path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace

DcmQueryRequest::DcmQueryRequest(T_ASC_Association* assoc,
                                 T_ASC_PresentationContextID pres_id,
                                 const T_DIMSE_Message& command,
                                 const Connection& connection,
                                 Dataset identifier, std::string charset)
    : assoc_(assoc),
      pres_id_(pres_id),
      command_(command),
      connection_(connection),
      identifier_(std::move(identifier)),
      charset_(std::move(charset)) {
  switch (command_.CommandField) {
    case DIMSE_C_FIND_RQ:
      message_id_ = command_.msg.CFindRQ.MessageID;
      sop_class_ = command_.msg.CFindRQ.AffectedSOPClassUID;
      break;
    case DIMSE_C_GET_RQ:
      message_id_ = command_.msg.CGetRQ.MessageID;
      sop_class_ = command_.msg.CGetRQ.AffectedSOPClassUID;
      break;
    default:
      message_id_ = command_.msg.CMoveRQ.MessageID;
      sop_class_ = command_.msg.CMoveRQ.AffectedSOPClassUID;
      break;
  }
}

std::string DcmQueryRequest::operation() const {
  switch (command_.CommandField) {
    case DIMSE_C_FIND_RQ:
      return "C-FIND";
    case DIMSE_C_GET_RQ:
      return "C-GET";
    default:
      return "C-MOVE";
  }
}

std::string DcmQueryRequest::move_destination() const {
  if (command_.CommandField != DIMSE_C_MOVE_RQ) return "";
  std::string dest = command_.msg.CMoveRQ.MoveDestination;
  while (!dest.empty() && dest.back() == ' ') dest.pop_back();
  return dest;
}

bool DcmQueryRequest::finished() const {
  if (final_sent_ || cancelled_ || broken_) return true;
  OFCondition cond = DIMSE_checkForCancelRQ(assoc_, pres_id_, message_id_);
  if (cond.good()) {
    cancelled_ = true;
  } else if (IsNetworkFailure(cond)) {
    // Anything but a C-CANCEL in the middle of a request, or a dead
    // connection, ends the request.
    broken_ = true;
  }
  return cancelled_ || broken_;
}

bool DcmQueryRequest::cancelled() const {
  finished();
  return cancelled_;
}

void DcmQueryRequest::SendResponse(uint16_t status, DcmDataset* data,
                                   bool with_counts,
                                   const std::string& error_comment) {
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  T_DIMSE_DataSetType type = data ? DIMSE_DATASET_PRESENT : DIMSE_DATASET_NULL;
  switch (command_.CommandField) {
    case DIMSE_C_FIND_RQ: {
      rsp.CommandField = DIMSE_C_FIND_RSP;
      T_DIMSE_C_FindRSP& r = rsp.msg.CFindRSP;
      r.MessageIDBeingRespondedTo = message_id_;
      OFStandard::strlcpy(r.AffectedSOPClassUID, sop_class_.c_str(),
                          sizeof r.AffectedSOPClassUID);
      r.DimseStatus = status;
      r.DataSetType = type;
      r.opts = O_FIND_AFFECTEDSOPCLASSUID;
      break;
    }
    case DIMSE_C_GET_RQ: {
      rsp.CommandField = DIMSE_C_GET_RSP;
      T_DIMSE_C_GetRSP& r = rsp.msg.CGetRSP;
      r.MessageIDBeingRespondedTo = message_id_;
      OFStandard::strlcpy(r.AffectedSOPClassUID, sop_class_.c_str(),
                          sizeof r.AffectedSOPClassUID);
      r.DimseStatus = status;
      r.DataSetType = type;
      r.opts = O_GET_AFFECTEDSOPCLASSUID;
      if (with_counts) {
        r.NumberOfRemainingSubOperations = remaining_;
        r.NumberOfCompletedSubOperations = counts_.completed;
        r.NumberOfFailedSubOperations = counts_.failed;
        r.NumberOfWarningSubOperations = counts_.warning;
        r.opts |= O_GET_NUMBEROFCOMPLETEDSUBOPERATIONS |
                  O_GET_NUMBEROFFAILEDSUBOPERATIONS |
                  O_GET_NUMBEROFWARNINGSUBOPERATIONS;
        if (status == kStatusPending || remaining_ > 0)
          r.opts |= O_GET_NUMBEROFREMAININGSUBOPERATIONS;
      }
      break;
    }
    default: {
      rsp.CommandField = DIMSE_C_MOVE_RSP;
      T_DIMSE_C_MoveRSP& r = rsp.msg.CMoveRSP;
      r.MessageIDBeingRespondedTo = message_id_;
      OFStandard::strlcpy(r.AffectedSOPClassUID, sop_class_.c_str(),
                          sizeof r.AffectedSOPClassUID);
      r.DimseStatus = status;
      r.DataSetType = type;
      r.opts = O_MOVE_AFFECTEDSOPCLASSUID;
      if (with_counts) {
        r.NumberOfCompletedSubOperations = counts_.completed;
        r.NumberOfFailedSubOperations = counts_.failed;
        r.NumberOfWarningSubOperations = counts_.warning;
        r.opts |= O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS |
                  O_MOVE_NUMBEROFFAILEDSUBOPERATIONS |
                  O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
        if (status == kStatusPending || remaining_ > 0) {
          r.NumberOfRemainingSubOperations = remaining_;
          r.opts |= O_MOVE_NUMBEROFREMAININGSUBOPERATIONS;
        }
      }
      break;
    }
  }
  // An Error Comment travels in the command set, as the status detail.
  std::unique_ptr<DcmDataset> detail;
  if (!error_comment.empty()) {
    detail = std::make_unique<DcmDataset>();
    // The comment is at most 64 characters of the default repertoire.
    std::string comment;
    for (char ch : error_comment) {
      if (comment.size() == 64) break;
      unsigned char u = static_cast<unsigned char>(ch);
      comment += u >= 0x20 && u < 0x7F ? ch : '?';
    }
    detail->putAndInsertString(DCM_ErrorComment, comment.c_str());
  }
  OFCondition cond = DIMSE_sendMessageUsingMemoryData(
      assoc_, pres_id_, &rsp, detail.get(), data, nullptr, nullptr);
  if (cond.bad()) broken_ = true;
  else if (status != kStatusPending && status != 0xFF01)
    final_status_ = status;
}

void DcmQueryRequest::SendPending(const Dataset& dataset, uint16_t status) {
  if (finished()) return;
  DcmDataset copy(dataset.impl().ds);
  EncodeFromUtf8(copy, charset_);
  SendResponse(status, &copy, false);
}

void DcmQueryRequest::SendFinal(uint16_t status) {
  if (final_sent_ || broken_) return;
  finished();  // picks up a C-CANCEL that is waiting
  if (broken_) return;
  final_sent_ = true;
  // A C-MOVE answered here carries no counts (SendMoveFinal gives them).
  bool counts = command_.CommandField == DIMSE_C_GET_RQ;
  SendResponse(cancelled_ ? kStatusCancel : status, nullptr, counts);
}

void DcmQueryRequest::SendMoveProgress(const SubOperations& counts,
                                       int remaining) {
  if (finished()) return;
  counts_ = counts;
  remaining_ = remaining;
  SendResponse(kStatusPending, nullptr, true);
}

void DcmQueryRequest::SendMoveFinal(uint16_t status,
                                    const SubOperations& counts, int remaining,
                                    const std::string& error_comment) {
  if (final_sent_ || broken_) return;
  final_sent_ = true;
  counts_ = counts;
  remaining_ = remaining;
  SendResponse(status, nullptr, true, error_comment);
}

void DcmQueryRequest::EnsureFinal() {
  if (final_sent_ || broken_) return;
  SendFinal(cancelled_ ? kStatusCancel : kStatusUnableToProcess);
}

bool DcmQueryRequest::StoreOne(const std::string& path, std::string& error) {
  T_DIMSE_C_StoreRQ req;
  std::memset(&req, 0, sizeof req);
  req.DataSetType = DIMSE_DATASET_PRESENT;
  req.Priority = DIMSE_PRIORITY_MEDIUM;
  auto set_uids = [&](const char* sop_class, const char* sop_instance) {
    OFStandard::strlcpy(req.AffectedSOPClassUID, sop_class,
                        sizeof req.AffectedSOPClassUID);
    OFStandard::strlcpy(req.AffectedSOPInstanceUID, sop_instance,
                        sizeof req.AffectedSOPInstanceUID);
  };
  T_DIMSE_C_StoreRSP rsp;
  std::memset(&rsp, 0, sizeof rsp);
  DcmDataset* detail = nullptr;
  OFCondition cond;

  // A file in a syntax the requester takes goes out from the disk as it is
  // stored, without being parsed and encoded again.
  const Part10Header header = ReadPart10Header(path);
  const T_ASC_PresentationContextID stored_id = StoredContext(assoc_, header);
  if (stored_id != 0) {
    set_uids(header.sop_class.c_str(), header.sop_instance.c_str());
    req.MessageID = assoc_->nextMsgID++;
    cond = header.dataset_offset != 0
               ? StoreFileAsStored(assoc_, stored_id, req, path,
                                   header.dataset_offset,
                                   kStoreResponseTimeout, &rsp, &detail)
               : DIMSE_storeUser(assoc_, stored_id, &req, path.c_str(),
                                 nullptr, nullptr, nullptr, DIMSE_NONBLOCKING,
                                 kStoreResponseTimeout, &rsp, &detail);
  } else {
    DcmFileFormat file;
    OFString sop_class, sop_instance;
    T_ASC_PresentationContextID pc_id = 0;
    if (!LoadForContext(assoc_, path, file, sop_class, sop_instance, pc_id,
                        error))
      return false;
    set_uids(sop_class.c_str(), sop_instance.c_str());
    req.MessageID = assoc_->nextMsgID++;
    cond = DIMSE_storeUser(assoc_, pc_id, &req, nullptr, file.getDataset(),
                           nullptr, nullptr, DIMSE_NONBLOCKING,
                           kStoreResponseTimeout, &rsp, &detail);
  }
  delete detail;
  if (cond.bad()) {
    error = path + ": " + cond.text();
    broken_ = true;
    return false;
  }
  if (rsp.DimseStatus == 0x0000) {
    ++counts_.completed;
  } else if ((rsp.DimseStatus & 0xF000) == 0xB000) {
    ++counts_.warning;
  } else {
    char status[8];
    std::snprintf(status, sizeof status, "%04X", rsp.DimseStatus);
    error = path + ": the requester answered " + status;
    return false;
  }
  return true;
}

Request::SubOperations DcmQueryRequest::SendFiles(
    const std::vector<std::string>& paths) {
  sent_files_ = true;
  remaining_ = static_cast<int>(paths.size());
  if (!paths.empty()) ReadAhead(paths.front());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (finished()) break;
    const std::string& path = paths[i];
    // The next file comes from the disk while this one is on the wire.
    if (i + 1 < paths.size()) ReadAhead(paths[i + 1]);
    std::string error;
    bool ok = StoreOne(path, error);
    --remaining_;
    if (!ok) {
      ++counts_.failed;
      sub_error_ = error;
    }
    if (broken_) break;
    if (remaining_ > 0) SendResponse(kStatusPending, nullptr, true);
  }
  return counts_;
}

}  // namespace vantor::dicom
