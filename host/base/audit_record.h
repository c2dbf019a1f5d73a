// What the audit trail is told: one plain record per event (who read or
// stored which patient's images, who was refused), filled in where the
// event happens and handed to an AuditSink. The sink (audit/, owned by the
// host) turns it into an audit message and sends it on; the places that
// fill records need neither the message format nor the transport.
#ifndef VANTOR_HOST_BASE_AUDIT_RECORD_H_
#define VANTOR_HOST_BASE_AUDIT_RECORD_H_

#include <chrono>
#include <string>
#include <vector>

namespace vantor {

enum class AuditEvent {
  kApplicationStart,      // the service started
  kApplicationStop,       // the service stops
  kQuery,                 // a C-FIND or a QIDO search
  kBeginTransfer,         // images are about to be sent (C-GET, C-MOVE)
  kInstancesTransferred,  // images were sent or received
  kSecurityAlert,         // a caller was refused, or sent what cannot be read
};

// EventOutcomeIndicator.
enum class AuditOutcome {
  kSuccess = 0,
  kMinorFailure = 4,
  kSeriousFailure = 8,
  kMajorFailure = 12,
};

// The kinds of security alert the service raises.
enum class AuditAlert {
  kNodeAuthentication,  // a caller that was not let in at all
  kRestrictedFunction,  // a known caller asked for what it may not do
  kBadInput,            // a request that could not be read
};

// One study the event touched, with the instances per SOP class.
struct AuditStudy {
  std::string study_uid;
  struct SopClass {
    std::string uid;
    int instances = 0;
  };
  std::vector<SopClass> sop_classes;
};

struct AuditRecord {
  AuditEvent event = AuditEvent::kApplicationStart;
  AuditOutcome outcome = AuditOutcome::kSuccess;
  // EventActionCode: C(reate), R(ead), U(pdate), D(elete), E(xecute).
  char action = 'E';
  std::chrono::system_clock::time_point time = std::chrono::system_clock::now();

  // The other side: a DICOM caller (its AE title and address) or a web
  // caller (its user or AE title and address). `remote_is_source` says the
  // images came from it (C-STORE, STOW); otherwise this service is the
  // source and the caller the destination.
  std::string remote_aet;
  std::string remote_user;  // a web caller's user name, when it gave one
  std::string remote_address;
  bool remote_is_source = false;
  // C-MOVE: the node the images go to (the requester is remote_*).
  std::string destination_aet;
  std::string destination_address;

  // The patient and the studies.
  std::string patient_id;
  std::string patient_name;
  std::vector<AuditStudy> studies;

  // A query: the SOP class asked (C-FIND) and the identifier as it was
  // encoded, or the web search's path and query string.
  std::string query_sop_class;
  std::string query_bytes;
  std::string query_path;

  // A security alert: its kind and what happened, in words.
  AuditAlert alert = AuditAlert::kRestrictedFunction;
  std::string alert_text;
};

// Where records go. Record never blocks and never throws; a record that
// cannot be kept is counted and dropped.
class AuditSink {
 public:
  virtual ~AuditSink() = default;
  virtual void Record(AuditRecord record) noexcept = 0;
};

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_AUDIT_RECORD_H_
