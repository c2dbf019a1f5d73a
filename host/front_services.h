// The service's handlers behind the toolkit layer's front (dicom/front.h),
// and what they share for the service's lifetime: the importer's worker,
// the sender started ahead, the queue of Storage Commitment reports that go
// on associations of the service's own, and the shutdown flag.
#ifndef VANTOR_HOST_FRONT_SERVICES_H_
#define VANTOR_HOST_FRONT_SERVICES_H_

#include <atomic>

#include "audit/audit_trail.h"
#include "dicom/front.h"
#include "host/base/connection_pool.h"
#include "import/import_worker.h"
#include "host/base/metrics.h"
#include "host/job_queue_depths.h"
#include "retrieve/commitment_jobs.h"
#include "retrieve/commitment_report_queue.h"
#include "retrieve/move_queue.h"
#include "retrieve/sender_starter.h"

namespace vantor {

class FrontServicesHost {
 public:
  FrontServicesHost();
  FrontServicesHost(const FrontServicesHost&) = delete;
  FrontServicesHost& operator=(const FrontServicesHost&) = delete;

  // The table the front is made with: the query engine, the retrieval
  // subsystem, image reception (which wakes the importer), the event
  // report, Storage Commitment and the association check. The handlers
  // refer to this object, which must outlive the front.
  dicom::FrontServices Table();

  // From now on, images waiting for disk space are refused instead of held,
  // and C-MOVE requests stop waiting for their senders; the sender started
  // ahead ends; Storage Commitment reports still waiting for their
  // association are given up (and logged).
  void BeginShutdown();

  // Starts the importer's thread (it works while Import is on).
  void StartImporter();
  // Starts the workers of the queue in the archive database: C-MOVE jobs
  // and Storage Commitment reports (they work while JobQueue is "database"
  // on a database server).
  void StartJobWorkers();

  // Has a sender wait, ready, for the next C-MOVE on the configured
  // database (when none waits yet).
  void PrepareSender();

  // Closes the idle database connections kept too long or made for a
  // DBServer the settings no longer name (on every tick).
  void PruneConnections();
  // Closes every idle database connection (at unload).
  void CloseConnections();

  // Whether the DICOM port listens (for the readiness check).
  void SetListening(bool listening) { listening_ = listening; }

  // The service's counters.
  Metrics& metrics() { return metrics_; }
  // The audit trail (its worker is started and stopped by the host).
  audit::AuditTrail& audit() { return audit_; }

 private:
  dicom::RequestServices RequestTable();
  // A received image (C-STORE or STOW-RS) in the audit trail.
  void AuditReception(const Log& log, const dicom::Connection& connection,
                      const dicom::ReceivedImage& image, uint16_t status);
  // Queues a Storage Commitment report whose requester left in the archive
  // database; false (logged) when it could not be queued there.
  bool QueueReport(const Config& config, const Log& log,
                   const dicom::ReportDestination& destination,
                   const dicom::CommitmentReport& report);
  // Why the service may not be given work now ("" when it may).
  std::string NotReady(const Config& config);

  // The counters; first, so that everything that counts goes before them.
  Metrics metrics_;
  // The audit trail, next: every handler records into it.
  audit::AuditTrail audit_{&Settings, &metrics_};
  // The idle database connections of the requests (C-FIND, C-GET, C-MOVE,
  // event reports, web requests), before the parts that use them.
  ConnectionPool connections_;
  JobQueueDepths queue_depths_{&connections_, &Settings};
  std::atomic<bool> listening_{false};
  std::atomic<bool> stopping_{false};
  SenderStarter senders_;
  ImportWorker importer_;
  CommitmentReportQueue reports_;
  CommitmentJobWorker report_jobs_;
  MoveQueueWorkers moves_;
};

}  // namespace vantor

#endif  // VANTOR_HOST_FRONT_SERVICES_H_
