#include "dicom/front.h"

#include <utility>

#include "dicom/events.h"
#include "host/base/failure.h"
#include "host/base/numeric.h"

namespace vantor::dicom {

Front::Front(FrontServices services, SnapshotSource snapshot)
    : services_(std::move(services)), snapshot_(std::move(snapshot)) {}

Front::Snapshot Front::Take() const {
  std::shared_ptr<const Config> config = snapshot_();
  Log log = Log::Of(*config);
  return {std::move(config), std::move(log)};
}

void Front::Alert(const Connection& connection, AuditAlert alert,
                  AuditOutcome outcome, const std::string& text) const {
  if (!services_.audit) return;
  AuditRecord record;
  record.event = AuditEvent::kSecurityAlert;
  record.outcome = outcome;
  record.remote_aet = Trim(connection.calling_aet);
  record.remote_address = connection.remote_ip;
  record.alert = alert;
  record.alert_text = text;
  services_.audit->Record(std::move(record));
}

void Front::AssociationRequest2(const Connection& connection, bool& is_ok) {
  const Snapshot now = Take();
  services_.AssociationCheck(*now.config, now.log, connection, is_ok);
  if (!is_ok)
    Alert(connection, AuditAlert::kNodeAuthentication,
          AuditOutcome::kMinorFailure,
          "Association from " + Trim(connection.calling_aet) + "/" +
              connection.remote_ip + " rejected");
}

void Front::QueryRequest(Request& request) {
  const Snapshot now = Take();
  DCMServer_QueryRequest(request, services_.requests, now.config, now.log);
}

uint16_t Front::ImageReceivedAsync(const Connection& connection,
                                   ReceivedImage& image) {
  const Snapshot now = Take();
  return services_.ReceiveImage(*now.config, now.log, connection, image);
}

void Front::VerifyReceived(int32_t& status) {
  DCMServer_VerifyReceived(Take().log, status);
}

void Front::EventReport(const Connection& connection, uint16_t event_id,
                        const Dataset& dataset, uint16_t& status) {
  const Snapshot now = Take();
  services_.EventReport(*now.config, now.log, connection, event_id, dataset,
                        status);
}

bool Front::CommitmentEnabled() { return snapshot_()->StorageCommitment; }

CommitmentAcceptance Front::CommitmentRequested(
    const Connection& connection, const CommitmentRequest& request) {
  const Snapshot now = Take();
  CommitmentAcceptance acceptance = services_.CommitmentRequested(
      *now.config, now.log, connection, request);
  if (acceptance.status == kStatusNotAuthorized)
    Alert(connection, AuditAlert::kRestrictedFunction,
          AuditOutcome::kMinorFailure,
          "Unauthorized storage commitment request from " +
              Trim(connection.calling_aet) + "/" + connection.remote_ip);
  return acceptance;
}

CommitmentOutcome Front::CommitmentDecide(const CommitmentRequest& request) {
  const Snapshot now = Take();
  return services_.CommitmentDecide(*now.config, now.log, request);
}

void Front::CommitmentReportUndelivered(const ReportDestination& destination,
                                        const CommitmentReport& report) {
  services_.CommitmentReportUndelivered(Take().log, destination, report);
}

void Front::ActionComplete(const Connection& connection,
                           const std::string& action, bool success,
                           const std::string& error_message) {
  DCMServer_ActionComplete(Take().log, connection, action, success,
                           error_message);
}

void Front::InfoMessage(int16_t info_type, const std::string& text) {
  DCMServer_InfoMessage(Take().log, info_type, text);
}

std::string Front::StoredSyntax() {
  if (!services_.StoredSyntax) return {};
  return services_.StoredSyntax(*snapshot_());
}

ReceptionTarget Front::ReceptionFile(const Connection& connection,
                                     const std::string& sop_instance,
                                     const std::string& transfer_syntax) {
  (void)connection;
  if (!services_.ReceptionFile) return {};
  return services_.ReceptionFile(*snapshot_(), sop_instance, transfer_syntax);
}

void Front::AssociationAnswered(const std::string& outcome) {
  if (services_.metrics) services_.metrics->AssociationAnswered(outcome);
}

void Front::AssociationClosed() {
  if (services_.metrics) services_.metrics->AssociationClosed();
}

void Front::CallerRefused(const Connection& connection, bool bad_input,
                          const std::string& text) {
  Alert(connection,
        bad_input ? AuditAlert::kBadInput : AuditAlert::kNodeAuthentication,
        bad_input ? AuditOutcome::kSeriousFailure : AuditOutcome::kMinorFailure,
        text);
}

void Front::CommandAnswered(const CommandTally& tally) {
  if (!services_.metrics) return;
  services_.metrics->CommandAnswered(tally.command, tally.status, tally.seconds,
                                     tally.bytes_received, tally.images_sent);
}

}  // namespace vantor::dicom
