// The DICOM server: a listener thread per port that accepts associations,
// and a worker thread per association that answers its commands through
// the service's events.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dicom/dataset_impl.h"
#include "dicom/negotiation.h"
#include "dicom/query_request.h"
#include "dicom/received_image.h"
#include "dicom/toolkit.h"
#include "host/failure.h"

namespace vantor::dicom {
namespace {

// Seconds the network waits for an association request's PDUs.
constexpr int kAcseTimeout = 30;
// The worker and listener loops look at the stop flag this often (s).
constexpr int kPollSeconds = 1;
// The largest PDU this service receives. Large images arrive in fewer
// pieces (and fewer reads) than with the toolkit's default of 16 KiB.
constexpr unsigned long kReceivePdu = ASC_MAXIMUMPDUSIZE;
// Seconds a peer has to send a dataset that its command announced.
constexpr int kDataTimeout = 60;

// Info message types raised by the server.
constexpr int16_t kInfoContextsRefused = 1;
constexpr int16_t kInfoUnsupportedCommand = 2;
constexpr int16_t kInfoAssociationAborted = 3;

std::string Trimmed(const char* text) {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

struct Server::Impl {
  explicit Impl(ServerEvents& e, int max) : events(e), max_associations(max) {}

  struct Listener {
    T_ASC_Network* network = nullptr;
    std::atomic<bool> stop{false};
    std::thread thread;
  };

  ServerEvents& events;
  const int max_associations;
  std::atomic<bool> stopping{false};
  std::atomic<int32_t> next_number{1};

  std::mutex mu;
  std::condition_variable workers_done;
  int active = 0;
  std::map<int, std::unique_ptr<Listener>> listeners;
  // Networks whose listener stopped; dropped once no association runs.
  std::vector<T_ASC_Network*> retired;

  void ListenLoop(Listener& l);
  void Admit(T_ASC_Association* assoc);
  void RunAssociation(T_ASC_Association* assoc, Connection conn);
  // Returns false when the association ended.
  bool HandleCommand(T_ASC_Association* assoc, const Connection& conn,
                     T_ASC_PresentationContextID pres_id,
                     T_DIMSE_Message& msg);
  void HandleEcho(T_ASC_Association* assoc, T_ASC_PresentationContextID id,
                  const T_DIMSE_C_EchoRQ& rq);
  void HandleQuery(T_ASC_Association* assoc, const Connection& conn,
                   T_ASC_PresentationContextID id, const T_DIMSE_Message& msg,
                   DcmDataset* identifier);
  void HandleStore(T_ASC_Association* assoc, const Connection& conn,
                   T_ASC_PresentationContextID id, const T_DIMSE_C_StoreRQ& rq,
                   std::unique_ptr<DcmDataset> data);
  void HandleEventReport(T_ASC_Association* assoc, const Connection& conn,
                         T_ASC_PresentationContextID id,
                         const T_DIMSE_N_EventReportRQ& rq,
                         std::unique_ptr<DcmDataset> data);
  void Info(int16_t type, const std::string& text) {
    GuardVoid("DCMServer", [&] { events.InfoMessage(type, text); });
  }
  void Action(const Connection& conn, const std::string& action, bool ok,
              const std::string& error) {
    GuardVoid("DCMServer",
              [&] { events.ActionComplete(conn, action, ok, error); });
  }
};

Server::Server(ServerEvents& events, int max_associations)
    : impl_(std::make_unique<Impl>(events,
                                   max_associations < 16 ? 16
                                                         : max_associations)) {
}

Server::~Server() {
  std::vector<int> ports;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& [port, l] : impl_->listeners) ports.push_back(port);
  }
  for (int port : ports) StopListening(port);
  impl_->stopping = true;
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->workers_done.wait(lock, [this] { return impl_->active == 0; });
  for (T_ASC_Network* net : impl_->retired) ASC_dropNetwork(&net);
  impl_->retired.clear();
}

bool Server::Listen(int port) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->listeners.count(port) != 0) return true;
  T_ASC_Network* net = nullptr;
  OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port, kAcseTimeout, &net);
  if (cond.bad()) {
    if (net != nullptr) ASC_dropNetwork(&net);
    return false;
  }
  auto l = std::make_unique<Impl::Listener>();
  l->network = net;
  Impl::Listener* raw = l.get();
  l->thread = std::thread([this, raw] { impl_->ListenLoop(*raw); });
  impl_->listeners[port] = std::move(l);
  return true;
}

void Server::StopListening(int port) {
  std::unique_ptr<Impl::Listener> l;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->listeners.find(port);
    if (it == impl_->listeners.end()) return;
    l = std::move(it->second);
    impl_->listeners.erase(it);
  }
  l->stop = true;
  if (l->thread.joinable()) l->thread.join();
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->active == 0) {
    ASC_dropNetwork(&l->network);
  } else {
    impl_->retired.push_back(l->network);
  }
}

void Server::Impl::ListenLoop(Listener& l) {
  while (!l.stop) {
    T_ASC_Association* assoc = nullptr;
    OFCondition cond =
        ASC_receiveAssociation(l.network, &assoc, kReceivePdu, nullptr,
                               nullptr, OFFalse, DUL_NOBLOCK, kPollSeconds);
    if (cond == DUL_NOASSOCIATIONREQUEST) {
      if (assoc != nullptr) ASC_destroyAssociation(&assoc);
      continue;
    }
    if (cond.bad()) {
      // A connection that broke off before its request was read.
      if (assoc != nullptr) {
        ASC_dropSCPAssociation(assoc);
        ASC_destroyAssociation(&assoc);
      }
      continue;
    }
    Admit(assoc);
  }
}

void Server::Impl::Admit(T_ASC_Association* assoc) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (active >= max_associations || stopping) {
      T_ASC_RejectParameters rej = {
          ASC_RESULT_REJECTEDTRANSIENT,
          ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
          ASC_REASON_SP_PRES_TEMPORARYCONGESTION};
      ASC_rejectAssociation(assoc, &rej);
      ASC_dropSCPAssociation(assoc);
      ASC_destroyAssociation(&assoc);
      return;
    }
    ++active;
  }
  Connection conn;
  DIC_AE calling, called;
  ASC_getAPTitles(assoc->params, calling, sizeof calling, called,
                  sizeof called, nullptr, 0);
  conn.calling_aet = calling;
  conn.called_aet = called;
  conn.remote_ip = assoc->params->DULparams.callingPresentationAddress;
  // The address may carry the peer's port after a colon.
  if (auto colon = conn.remote_ip.rfind(':');
      colon != std::string::npos &&
      conn.remote_ip.find(':') == colon) {
    conn.remote_ip.erase(colon);
  }
  conn.number = next_number++;
  std::thread([this, assoc, conn] {
    RunAssociation(assoc, conn);
    std::lock_guard<std::mutex> lock(mu);
    --active;
    workers_done.notify_all();
  }).detach();
}

void Server::Impl::RunAssociation(T_ASC_Association* assoc, Connection conn) {
  int refused = AcceptPresentationContexts(assoc->params);
  bool is_ok = true;
  GuardVoid("DCMServer", [&] { events.AssociationRequest2(conn, is_ok); });
  if (!is_ok) {
    T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT,
                                  ASC_SOURCE_SERVICEUSER,
                                  ASC_REASON_SU_NOREASON};
    ASC_rejectAssociation(assoc, &rej);
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    return;
  }
  if (ASC_acknowledgeAssociation(assoc).bad()) {
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    return;
  }
  if (refused > 0) {
    Info(kInfoContextsRefused, "Association " + std::to_string(conn.number) +
                                   " from " + Trimmed(conn.calling_aet.c_str()) +
                                   ": " + std::to_string(refused) +
                                   " presentation context(s) refused");
  }
  bool alive = true;
  while (alive) {
    if (stopping) {
      ASC_abortAssociation(assoc);
      break;
    }
    T_ASC_PresentationContextID pres_id = 0;
    T_DIMSE_Message msg;
    std::memset(&msg, 0, sizeof msg);
    OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING,
                                            kPollSeconds, &pres_id, &msg,
                                            nullptr);
    if (cond == DIMSE_NODATAAVAILABLE) continue;
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      ASC_acknowledgeRelease(assoc);
      break;
    }
    if (cond.bad()) {
      if (cond != DUL_PEERABORTEDASSOCIATION) {
        Info(kInfoAssociationAborted,
             "Association " + std::to_string(conn.number) + " ended: " +
                 cond.text());
      }
      ASC_abortAssociation(assoc);
      break;
    }
    alive = HandleCommand(assoc, conn, pres_id, msg);
  }
  ASC_dropSCPAssociation(assoc);
  ASC_destroyAssociation(&assoc);
}

namespace {

// Reads the dataset a command announced; nullptr when there is none.
OFCondition ReceiveData(T_ASC_Association* assoc, bool announced,
                        std::unique_ptr<DcmDataset>& out) {
  if (!announced) return EC_Normal;
  T_ASC_PresentationContextID data_id = 0;
  DcmDataset* ds = nullptr;
  OFCondition cond = DIMSE_receiveDataSetInMemory(
      assoc, DIMSE_NONBLOCKING, kDataTimeout, &data_id, &ds, nullptr,
      nullptr);
  out.reset(ds);
  return cond;
}

std::string AcceptedSyntax(T_ASC_Association* assoc,
                           T_ASC_PresentationContextID id) {
  T_ASC_PresentationContext pc;
  if (ASC_findAcceptedPresentationContext(assoc->params, id, &pc).bad())
    return UID_LittleEndianImplicitTransferSyntax;
  return pc.acceptedTransferSyntax;
}

}  // namespace

bool Server::Impl::HandleCommand(T_ASC_Association* assoc,
                                 const Connection& conn,
                                 T_ASC_PresentationContextID pres_id,
                                 T_DIMSE_Message& msg) {
  std::unique_ptr<DcmDataset> data;
  switch (msg.CommandField) {
    case DIMSE_C_ECHO_RQ:
      HandleEcho(assoc, pres_id, msg.msg.CEchoRQ);
      return true;
    case DIMSE_C_FIND_RQ:
    case DIMSE_C_GET_RQ:
    case DIMSE_C_MOVE_RQ: {
      if (ReceiveData(assoc, true, data).bad() || !data) return false;
      HandleQuery(assoc, conn, pres_id, msg, data.get());
      return true;
    }
    case DIMSE_C_STORE_RQ:
      if (ReceiveData(assoc, true, data).bad() || !data) return false;
      HandleStore(assoc, conn, pres_id, msg.msg.CStoreRQ, std::move(data));
      return true;
    case DIMSE_N_EVENT_REPORT_RQ:
      if (ReceiveData(assoc,
                      msg.msg.NEventReportRQ.DataSetType != DIMSE_DATASET_NULL,
                      data)
              .bad())
        return false;
      HandleEventReport(assoc, conn, pres_id, msg.msg.NEventReportRQ,
                        std::move(data));
      return true;
    case DIMSE_C_CANCEL_RQ:
      // A cancel for a request that has already been answered.
      return true;
    default:
      Info(kInfoUnsupportedCommand,
           "Association " + std::to_string(conn.number) +
               ": unsupported command " + std::to_string(msg.CommandField));
      ASC_abortAssociation(assoc);
      return false;
  }
}

void Server::Impl::HandleEcho(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID id,
                              const T_DIMSE_C_EchoRQ& rq) {
  int32_t status = 0;
  GuardVoid("DCMServer", [&] { events.VerifyReceived(status); });
  DIMSE_sendEchoResponse(assoc, id, &rq, static_cast<DIC_US>(status), nullptr);
}

void Server::Impl::HandleQuery(T_ASC_Association* assoc,
                               const Connection& conn,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_Message& msg,
                               DcmDataset* identifier) {
  std::string charset = DecodeToUtf8(*identifier);
  DcmQueryRequest request(assoc, id, msg, conn, FromDcmDataset(*identifier),
                          charset);
  GuardVoid("DCMServer", [&] { events.QueryRequest(request); });
  request.EnsureFinal();
  if (request.sent_files()) {
    Action(conn, "C-GET", request.sub_operations().failed == 0,
           request.sub_operation_error());
  }
}

void Server::Impl::HandleStore(T_ASC_Association* assoc,
                               const Connection& conn,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_C_StoreRQ& rq,
                               std::unique_ptr<DcmDataset> data) {
  DecodeToUtf8(*data);
  DcmReceivedImage image(std::move(data), AcceptedSyntax(assoc, id));
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
  OFCondition cond = DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr,
                                                      nullptr, nullptr, nullptr);
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  Action(conn, "C-STORE", status == kStatusSuccess && cond.good(),
         status == kStatusSuccess ? std::string(cond.good() ? "" : cond.text())
                                  : std::string("Status ") + text);
}

void Server::Impl::HandleEventReport(T_ASC_Association* assoc,
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
  GuardVoid("DCMServer", [&] {
    events.EventReport(conn, rq.EventTypeID, dataset, status);
  });
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
}

}  // namespace vantor::dicom
