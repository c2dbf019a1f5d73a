// The front: the one place where the server's events meet the service's
// handlers. For every event it takes the settings snapshot once, makes its
// log value, and hands both to the handler; the handlers themselves come
// from a table the service host fills in. A new DIMSE command is an event
// here with its entry in the table, its handler, and the toolkit's
// dispatch; the host only puts the handler into the table.
#ifndef VANTOR_DICOM_FRONT_H_
#define VANTOR_DICOM_FRONT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dicom/dispatcher.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/audit_record.h"
#include "host/base/config.h"
#include "host/base/log.h"
#include "host/base/metrics.h"

namespace vantor::dicom {

// The handlers behind the front. Each is given the event's snapshot and
// its log; none may throw.
struct FrontServices {
  // C-FIND, C-GET and C-MOVE, run by the dispatcher.
  RequestServices requests;
  // Every association: writes its trace; `is_ok` as left decides.
  std::function<void(const Config& config, const Log& log,
                     const Connection& connection, bool& is_ok)>
      AssociationCheck;
  // C-STORE: returns the status.
  std::function<uint16_t(const Config& config, const Log& log,
                         const Connection& connection, ReceivedImage& image)>
      ReceiveImage;
  // C-STORE: the file an announced image is received into ("" for memory)
  // and the syntax images are stored in (both may be empty).
  std::function<ReceptionTarget(const Config& config,
                                const std::string& sop_instance,
                                const std::string& transfer_syntax)>
      ReceptionFile;
  std::function<std::string(const Config& config)> StoredSyntax;
  // N-EVENT-REPORT: `status` as left is the response status.
  std::function<void(const Config& config, const Log& log,
                     const Connection& connection, uint16_t event_id,
                     const Dataset& dataset, uint16_t& status)>
      EventReport;
  // Storage Commitment: whether the caller may ask, which instances are
  // committed, and the report that could not go back on the requester's
  // association (sent later; the handler keeps copies).
  std::function<CommitmentAcceptance(const Config& config, const Log& log,
                                     const Connection& connection,
                                     const CommitmentRequest& request)>
      CommitmentRequested;
  std::function<CommitmentOutcome(const Config& config, const Log& log,
                                  const CommitmentRequest& request)>
      CommitmentDecide;
  std::function<void(const Log& log, const ReportDestination& destination,
                     const CommitmentReport& report)>
      CommitmentReportUndelivered;
  // Why the service may not be given work now ("" when it may): the
  // readiness a balancer asks for.
  std::function<std::string(const Config& config)> NotReady;
  // The service's counters (owned by the host); null counts nothing.
  Metrics* metrics = nullptr;
  // The audit trail (owned by the host); null records nothing.
  AuditSink* audit = nullptr;
};

// The current settings snapshot; never null.
using SnapshotSource = std::function<std::shared_ptr<const Config>()>;

class Front : public ServerEvents {
 public:
  Front(FrontServices services, SnapshotSource snapshot);

  void AssociationRequest2(const Connection& connection, bool& is_ok) override;
  void QueryRequest(Request& request) override;
  uint16_t ImageReceivedAsync(const Connection& connection,
                              ReceivedImage& image) override;
  void VerifyReceived(int32_t& status) override;
  void EventReport(const Connection& connection, uint16_t event_id,
                   const Dataset& dataset, uint16_t& status) override;
  bool CommitmentEnabled() override;
  CommitmentAcceptance CommitmentRequested(
      const Connection& connection, const CommitmentRequest& request) override;
  CommitmentOutcome CommitmentDecide(const CommitmentRequest& request) override;
  void CommitmentReportUndelivered(const ReportDestination& destination,
                                   const CommitmentReport& report) override;
  void ActionComplete(const Connection& connection, const std::string& action,
                      bool success, const std::string& error_message) override;
  void InfoMessage(int16_t info_type, const std::string& text) override;
  std::string StoredSyntax() override;
  ReceptionTarget ReceptionFile(const Connection& connection,
                                const std::string& sop_instance,
                                const std::string& transfer_syntax) override;
  void AssociationAnswered(const std::string& outcome) override;
  void AssociationClosed() override;
  void CallerRefused(const Connection& connection, bool bad_input,
                     const std::string& text) override;
  void CommandAnswered(const CommandTally& tally) override;

 private:
  // One event's share of the settings: the snapshot and its log.
  struct Snapshot {
    std::shared_ptr<const Config> config;
    Log log;
  };
  Snapshot Take() const;
  // A security alert about `connection`'s caller, when there is a trail.
  void Alert(const Connection& connection, AuditAlert alert,
             AuditOutcome outcome, const std::string& text) const;

  const FrontServices services_;
  const SnapshotSource snapshot_;
};

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_FRONT_H_
