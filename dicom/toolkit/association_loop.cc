// An association from its admission to its end: the AE titles and the
// association limit, the presentation contexts and the host's word on the
// request, then the command loop (idle associations released, commands
// that do not parse refused or ended).
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "dicom/toolkit/commitment_scp.h"
#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/dataset_reader.h"
#include "dicom/toolkit/negotiation.h"
#include "dicom/toolkit/received_image.h"
#include "dicom/toolkit/server_impl.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/log.h"

namespace vantor::dicom {

using namespace server_impl;

namespace {

// Answers the request with an A-ASSOCIATE-RJ and lets the association go.
void Reject(T_ASC_Association* assoc, T_ASC_RejectParameters rej) {
  ASC_rejectAssociation(assoc, &rej);
  ASC_dropSCPAssociation(assoc);
  ASC_destroyAssociation(&assoc);
}

// The rejection of a request over a bound: transient, temporary
// congestion, so that the caller tries again later.
constexpr T_ASC_RejectParameters kCongested = {
    ASC_RESULT_REJECTEDTRANSIENT,
    ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
    ASC_REASON_SP_PRES_TEMPORARYCONGESTION};

// The name a command is counted under.
const char* CommandName(Uint16 field) {
  switch (field) {
    case DIMSE_C_ECHO_RQ: return "C-ECHO";
    case DIMSE_C_FIND_RQ: return "C-FIND";
    case DIMSE_C_GET_RQ: return "C-GET";
    case DIMSE_C_MOVE_RQ: return "C-MOVE";
    case DIMSE_C_STORE_RQ: return "C-STORE";
    case DIMSE_N_EVENT_REPORT_RQ: return "N-EVENT-REPORT";
    case DIMSE_N_ACTION_RQ: return "N-ACTION";
    default: return "other";
  }
}

// One down in a count of open associations; an entry at zero goes.
void CountDown(std::map<std::string, int>& counts, const std::string& key) {
  auto it = counts.find(key);
  if (it == counts.end()) return;
  if (--it->second <= 0) counts.erase(it);
}

}  // namespace

void Server::Impl::Answered(const std::string& outcome) {
  GuardVoid("DCMServer", [&] { events.AssociationAnswered(outcome); });
}

void Server::Impl::Refused(const Connection& caller, bool bad_input,
                           const std::string& text) {
  GuardVoid("DCMServer",
            [&] { events.CallerRefused(caller, bad_input, text); });
}

void Server::Impl::Admit(T_ASC_Association* assoc, Slot& slot) {
  Connection conn;
  DIC_AE calling, called;
  ASC_getAPTitles(assoc->params, calling, sizeof calling, called, sizeof called,
                  nullptr, 0);
  const std::string raw_calling = slot.raw ? slot.raw_calling : calling;
  const std::string raw_called = slot.raw ? slot.raw_called : called;
  if (!IsValidAeTitle(raw_calling) || !IsValidAeTitle(raw_called)) {
    ErrorLogWrite(0,
                  "Association from " + slot.address +
                      " rejected: AE title not valid (calling '" + raw_calling +
                      "', called '" + raw_called + "')",
                  "DCMServer");
    Reject(assoc, {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                   IsValidAeTitle(raw_calling)
                       ? ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED
                       : ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED});
    Answered("invalid_ae_title");
    Connection caller;
    caller.calling_aet = raw_calling;
    caller.remote_ip = slot.address;
    Refused(caller, false,
            "Association rejected: AE title not valid (calling '" +
                raw_calling + "', called '" + raw_called + "')");
    return;
  }
  conn.remote_ip = assoc->params->DULparams.callingPresentationAddress;
  // The address may carry the peer's port after a colon.
  if (auto colon = conn.remote_ip.rfind(':');
      colon != std::string::npos && conn.remote_ip.find(':') == colon) {
    conn.remote_ip.erase(colon);
  }
  const std::string ae_title = Trimmed(calling);
  std::string refused;  // the bound the request is over, if any
  {
    MutexLock lock(&mu);
    const bool balancer =
        std::find(bounds.balancers.begin(), bounds.balancers.end(),
                  conn.remote_ip) != bounds.balancers.end();
    auto open_from = [](const std::map<std::string, int>& counts,
                        const std::string& key) {
      auto it = counts.find(key);
      return it == counts.end() ? 0 : it->second;
    };
    if (active >= max_associations || stopping) {
      refused = "busy";
    } else if (!balancer && bounds.per_address > 0 &&
               open_from(active_by_address, conn.remote_ip) >=
                   bounds.per_address) {
      refused = "address";
    } else if (bounds.per_ae_title > 0 &&
               open_from(active_by_ae_title, ae_title) >=
                   bounds.per_ae_title) {
      refused = "ae_title";
    } else {
      ++active;
      ++active_by_address[conn.remote_ip];
      ++active_by_ae_title[ae_title];
    }
  }
  if (!refused.empty()) {
    Reject(assoc, kCongested);
    if (refused != "busy") {
      Info(kInfoCallerBound,
           "Association from " + conn.remote_ip + " (" + ae_title +
               ") refused: " +
               (refused == "address" ? "too many associations from this address"
                                     : "too many associations of this AE title"));
    }
    Answered(refused);
    if (refused != "busy") {
      Connection caller;
      caller.calling_aet = ae_title;
      caller.remote_ip = conn.remote_ip;
      Refused(caller, false,
              refused == "address"
                  ? "Association refused: too many associations from this "
                    "address"
                  : "Association refused: too many associations of this AE "
                    "title");
    }
    return;
  }
  conn.calling_aet = calling;
  conn.called_aet = called;
  conn.security = slot.security;
  conn.number = next_number++;
  const bool accepted = RunAssociation(assoc, conn, slot);
  {
    MutexLock lock(&mu);
    --active;
    CountDown(active_by_address, conn.remote_ip);
    CountDown(active_by_ae_title, ae_title);
  }
  // Counted once its slot is free again.
  if (accepted) GuardVoid("DCMServer", [&] { events.AssociationClosed(); });
}

bool Server::Impl::RunAssociation(T_ASC_Association* assoc,
                                  const Connection& conn, Slot& slot) {
  const std::string stored_syntax =
      Guard("DCMServer", std::string(), [&] { return events.StoredSyntax(); });
  int refused = AcceptPresentationContexts(assoc->params, stored_syntax);
  bool is_ok = true;
  GuardVoid("DCMServer", [&] { events.AssociationRequest2(conn, is_ok); });
  if (!is_ok) {
    Reject(assoc, {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                   ASC_REASON_SU_NOREASON});
    Answered("rejected");
    return false;
  }
  if (ASC_acknowledgeAssociation(assoc).bad()) {
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    return false;
  }
  Answered("accepted");
  if (refused > 0) {
    Info(kInfoContextsRefused,
         "Association " + std::to_string(conn.number) + " from " +
             Trimmed(conn.calling_aet.c_str()) + ": " +
             std::to_string(refused) + " presentation context(s) refused");
  }
  Clock::time_point last_message = Clock::now();
  bool alive = true;
  while (alive) {
    if (stopping) {
      ASC_abortAssociation(assoc);
      break;
    }
    T_ASC_PresentationContextID pres_id = 0;
    T_DIMSE_Message msg;
    std::memset(&msg, 0, sizeof msg);
    DcmDataset* raw_command = nullptr;
    OFCondition cond =
        DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, kPollSeconds, &pres_id,
                             &msg, nullptr, &raw_command);
    std::unique_ptr<DcmDataset> command(raw_command);
    if (cond == DIMSE_NODATAAVAILABLE) {
      const int idle = idle_timeout;
      if (idle > 0 &&
          Clock::now() - last_message >= std::chrono::seconds(idle)) {
        EndIdle(assoc, conn, slot, idle);
        break;
      }
      continue;
    }
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      ASC_acknowledgeRelease(assoc);
      break;
    }
    if (cond.bad()) {
      if (command) {
        // The whole command set arrived; its content did not parse.
        alive = HandleUnparsedCommand(assoc, conn, pres_id, *command, cond);
        last_message = Clock::now();
        continue;
      }
      // A dropped connection and a peer's A-ABORT both end the association
      // without its release.
      Ended(conn, cond.text());
      ASC_abortAssociation(assoc);
      break;
    }
    alive = HandleCommand(assoc, conn, pres_id, msg);
    // Only the time between commands counts as idle.
    last_message = Clock::now();
  }
  ASC_dropSCPAssociation(assoc);
  ASC_destroyAssociation(&assoc);
  return true;
}

void Server::Impl::EndIdle(T_ASC_Association* assoc, const Connection& conn,
                           Slot& slot, int idle_seconds) {
  const std::string who = "Association " + std::to_string(conn.number) +
                          " from " + Trimmed(conn.calling_aet.c_str());
  // The watchdog aborts the association when the answer does not come.
  SetDeadline(slot, Clock::now() + std::chrono::seconds(kReleaseAnswerSeconds),
              Expiry::kAbort);
  OFCondition cond = ASC_releaseAssociation(assoc);
  bool aborted = ClearDeadline(slot);
  if (aborted) {
    Info(kInfoIdleEnded, who + " aborted: no answer to its release after " +
                             std::to_string(idle_seconds) +
                             " s without a message");
  } else if (cond.good()) {
    Info(kInfoIdleEnded, who + " released after " +
                             std::to_string(idle_seconds) +
                             " s without a message");
  } else {
    Info(kInfoIdleEnded, who + " ended at its release after " +
                             std::to_string(idle_seconds) +
                             " s without a message: " + cond.text());
    ASC_abortAssociation(assoc);
  }
}

bool Server::Impl::HandleCommand(T_ASC_Association* assoc,
                                 const Connection& conn,
                                 T_ASC_PresentationContextID pres_id,
                                 T_DIMSE_Message& msg) {
  const Clock::time_point started = Clock::now();
  std::optional<uint16_t> status;  // of the final response, once sent
  CommandTally tally;
  const bool alive = ServeCommand(assoc, conn, pres_id, msg, status, tally);
  if (status) {
    tally.command = CommandName(msg.CommandField);
    tally.status = *status;
    tally.seconds =
        std::chrono::duration<double>(Clock::now() - started).count();
    GuardVoid("DCMServer", [&] { events.CommandAnswered(tally); });
  }
  return alive;
}

bool Server::Impl::ServeCommand(T_ASC_Association* assoc,
                                const Connection& conn,
                                T_ASC_PresentationContextID pres_id,
                                T_DIMSE_Message& msg,
                                std::optional<uint16_t>& status,
                                CommandTally& tally) {
  std::unique_ptr<DcmDataset> data;
  std::string why;
  // Receives the announced dataset; false when the association ended.
  auto receive = [&](const char* what) {
    DataResult result = ReceiveDataset(assoc, kDataTimeout, data, why);
    if (result == DataResult::kReceived) return true;
    if (result == DataResult::kUnparsable) {
      ErrorLogWrite(0,
                    std::string(what) + " on association " +
                        std::to_string(conn.number) + " from " +
                        Trimmed(conn.calling_aet.c_str()) + ": " + why +
                        "; association aborted",
                    "DCMServer");
      Refused(conn, true,
              std::string(what) + " could not be read: " + why +
                  "; association aborted");
    }
    Ended(conn, why);
    ASC_abortAssociation(assoc);
    return false;
  };
  switch (msg.CommandField) {
    case DIMSE_C_ECHO_RQ:
      status = HandleEcho(assoc, pres_id, msg.msg.CEchoRQ);
      return true;
    case DIMSE_C_FIND_RQ:
    case DIMSE_C_GET_RQ:
    case DIMSE_C_MOVE_RQ: {
      if (!receive("Query")) return false;
      status = HandleQuery(assoc, conn, pres_id, msg, data.get(),
                           tally.images_sent);
      return true;
    }
    case DIMSE_C_STORE_RQ:
      return ReceiveStore(assoc, conn, pres_id, msg.msg.CStoreRQ, status,
                          tally.bytes_received);
    case DIMSE_N_EVENT_REPORT_RQ:
      if (msg.msg.NEventReportRQ.DataSetType != DIMSE_DATASET_NULL &&
          !receive("Event report"))
        return false;
      status = HandleEventReport(assoc, conn, pres_id, msg.msg.NEventReportRQ,
                                 std::move(data));
      return true;
    case DIMSE_C_CANCEL_RQ:
      // A cancel for a request that has already been answered.
      return true;
    case DIMSE_N_ACTION_RQ:
      if (Guard("DCMServer", false,
                [&] { return events.CommitmentEnabled(); })) {
        if (msg.msg.NActionRQ.DataSetType != DIMSE_DATASET_NULL &&
            !receive("Storage commitment request"))
          return false;
        return ServeCommitment(assoc, conn, pres_id, msg.msg.NActionRQ,
                               data.get(), events, stopping);
      }
      [[fallthrough]];
    default:
      Info(kInfoUnsupportedCommand,
           "Association " + std::to_string(conn.number) +
               ": unsupported command " + std::to_string(msg.CommandField));
      ASC_abortAssociation(assoc);
      return false;
  }
}

bool Server::Impl::ReceiveStore(T_ASC_Association* assoc,
                                const Connection& conn,
                                T_ASC_PresentationContextID pres_id,
                                const T_DIMSE_C_StoreRQ& rq,
                                std::optional<uint16_t>& status,
                                uint64_t& bytes) {
  std::unique_ptr<DcmDataset> data;
  std::unique_ptr<DcmReceivedImage> image;
  std::string why;
  DataResult result;
  const std::string syntax = AcceptedSyntax(assoc, pres_id);
  const ReceptionTarget target = Guard("DCMServer", ReceptionTarget(), [&] {
    return events.ReceptionFile(conn, Trimmed(rq.AffectedSOPInstanceUID),
                                syntax);
  });
  std::optional<DataResult> into_file;
  if (!target.path.empty())
    into_file = ReceiveIntoFile(assoc, rq, target, syntax, image, why, bytes);
  if (!into_file) {
    result = ReceiveDataset(assoc, kDataTimeout, data, why);
  } else {
    result = *into_file;
    // The file could not be written: the image is refused, the association
    // goes on.
    if (result == DataResult::kReceived && !image) {
      status = kStatusOutOfResources;
      return RefuseStore(assoc, conn, pres_id, rq, kStatusOutOfResources, why);
    }
  }
  if (result == DataResult::kLost) {
    ErrorLogWrite(0,
                  "C-STORE of " + std::string(rq.AffectedSOPInstanceUID) +
                      " on association " + std::to_string(conn.number) +
                      " from " + Trimmed(conn.calling_aet.c_str()) + ": " +
                      why,
                  "DCMServer");
    Ended(conn, why);
    ASC_abortAssociation(assoc);
    return false;
  }
  // The whole dataset arrived: the refusal goes back on the open
  // association.
  if (result == DataResult::kUnparsable) {
    status = kStatusUnableToProcess;
    Refused(conn, true,
            "C-STORE of " + Trimmed(rq.AffectedSOPInstanceUID) +
                " could not be read: " + why);
    return RefuseStore(assoc, conn, pres_id, rq, kStatusUnableToProcess, why);
  }
  if (image) {
    status = HandleStore(assoc, conn, pres_id, rq, *image);
  } else {
    bytes = data->getLength(DcmXfer(syntax.c_str()).getXfer());
    DecodeToUtf8(*data);
    DcmReceivedImage received(std::move(data), syntax);
    status = HandleStore(assoc, conn, pres_id, rq, received);
  }
  return true;
}

bool Server::Impl::RefuseStore(T_ASC_Association* assoc,
                               const Connection& conn,
                               T_ASC_PresentationContextID pres_id,
                               const T_DIMSE_C_StoreRQ& rq, uint16_t status,
                               const std::string& why) {
  ErrorLogWrite(0,
                "C-STORE of " + std::string(rq.AffectedSOPInstanceUID) +
                    " from " + Trimmed(conn.calling_aet.c_str()) +
                    " refused: " + why,
                "DCMServer");
  OFCondition sent = SendStoreResponse(
      assoc, pres_id, rq.MessageID, rq.AffectedSOPClassUID,
      rq.AffectedSOPInstanceUID, rq.opts & O_STORE_RQ_BLANK_PADDING, status);
  Action(conn, "C-STORE", false, "Status " + StatusText(status));
  return sent.good();
}

std::optional<DataResult> Server::Impl::ReceiveIntoFile(
    T_ASC_Association* assoc, const T_DIMSE_C_StoreRQ& rq,
    const ReceptionTarget& target, const std::string& syntax,
    std::unique_ptr<DcmReceivedImage>& image, std::string& why,
    uint64_t& bytes) {
  const std::string& path = target.path;
  const std::string sop_class = Trimmed(rq.AffectedSOPClassUID);
  const std::string sop_instance = Trimmed(rq.AffectedSOPInstanceUID);
  // Until the first piece is read, any trouble with the file leaves the
  // dataset to be received in memory, as every image was once.
  std::string header;
  GuardWith(
      [&] { header = Part10MetaHeader(sop_class, sop_instance, syntax); },
      [](const FailureInfo&) {});
  int fd = -1;
  if (!header.empty())
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0 && WriteAll(fd, header.data(), header.size()) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    fd = -1;
  }
  if (fd < 0) return std::nullopt;
  int error = 0;
  DataResult result = ReceiveDatasetToFile(assoc, kDataTimeout, fd,
                                           target.as_stored, error, why);
  if (struct stat st {}; ::fstat(fd, &st) == 0 &&
                         static_cast<uint64_t>(st.st_size) > header.size())
    bytes = static_cast<uint64_t>(st.st_size) - header.size();
  if (::close(fd) != 0 && error == 0) error = errno;
  if (result == DataResult::kReceived && error == 0) {
    image = LoadReceivedFile(path, header.size(), syntax, sop_class,
                             sop_instance, why);
    return image ? DataResult::kReceived : DataResult::kUnparsable;
  }
  ::unlink(path.c_str());
  if (result == DataResult::kReceived)
    why = std::string("the image could not be written: ") +
          std::strerror(error);
  return result;
}

bool Server::Impl::HandleUnparsedCommand(T_ASC_Association* assoc,
                                         const Connection& conn,
                                         T_ASC_PresentationContextID pres_id,
                                         DcmDataset& command,
                                         const OFCondition& why) {
  Uint16 field = 0, message_id = 0, data_type = kNoDataSet;
  command.findAndGetUint16(DCM_CommandField, field);
  command.findAndGetUint16(DCM_MessageID, message_id);
  command.findAndGetUint16(DCM_CommandDataSetType, data_type);
  OFString sop_class, sop_instance;
  command.findAndGetOFStringArray(DCM_AffectedSOPClassUID, sop_class);
  command.findAndGetOFStringArray(DCM_AffectedSOPInstanceUID, sop_instance);
  T_ASC_PresentationContext pc;
  if (field != kCommandCStoreRq ||
      ASC_findAcceptedPresentationContext(assoc->params, pres_id, &pc).bad()) {
    Ended(conn, std::string("command not understood: ") + why.text());
    ASC_abortAssociation(assoc);
    return false;
  }
  // A C-STORE whose command does not parse (a UID that is not valid, for
  // one) is refused like an image with such a UID: C000 on the open
  // association, after its dataset has been read and dropped.
  std::unique_ptr<DcmDataset> data;
  std::string data_why;
  if (data_type != kNoDataSet &&
      ReceiveDataset(assoc, kDataTimeout, data, data_why) ==
          DataResult::kLost) {
    Ended(conn, data_why);
    ASC_abortAssociation(assoc);
    return false;
  }
  ErrorLogWrite(0,
                "C-STORE from " + Trimmed(conn.calling_aet.c_str()) +
                    " refused: command not understood (" + why.text() +
                    "), SOP Instance UID '" +
                    std::string(sop_instance.c_str()) + "'",
                "DCMServer");
  std::string instance = sop_instance.c_str();
  std::string klass = sop_class.c_str();
  while (!instance.empty() &&
         (instance.back() == ' ' || instance.back() == '\0'))
    instance.pop_back();
  while (!klass.empty() && (klass.back() == ' ' || klass.back() == '\0'))
    klass.pop_back();
  OFCondition sent = SendStoreResponse(assoc, pres_id, message_id, klass,
                                       instance, false, kStatusUnableToProcess);
  Action(conn, "C-STORE", false,
         "Status " + StatusText(kStatusUnableToProcess));
  if (sent.bad()) {
    Ended(conn, sent.text());
    ASC_abortAssociation(assoc);
    return false;
  }
  return true;
}

}  // namespace vantor::dicom
