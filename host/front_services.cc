#include "host/front_services.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "dicom/association.h"
#include "dicom/toolkit/event_report_client.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "query/image_query.h"
#include "query/patient_query.h"
#include "query/series_query.h"
#include "query/study_query.h"
#include "retrieve/cget_files.h"
#include "retrieve/event_report.h"
#include "retrieve/move_handoff.h"
#include "retrieve/move_queue.h"
#include "retrieve/storage_commitment.h"
#include "retrieve/store/disk_space.h"
#include "retrieve/store/image_reception.h"
#include "retrieve/store/reception_file.h"

namespace vantor {

namespace {

namespace fs = std::filesystem;

// The files in the incoming folder: images waiting for the importer (or the
// archive product's own), and receptions in progress.
double IncomingFiles() {
  std::error_code ec;
  double n = 0;
  for (fs::directory_iterator it(ToFsPath(Settings()->Temp), ec), end;
       !ec && it != end; it.increment(ec)) {
    std::error_code entry_ec;
    if (it->is_regular_file(entry_ec)) ++n;
  }
  return n;
}

double IncomingFreeBytes() {
  return Guard("Metrics", 0.0, [] {
    return static_cast<double>(AvailableSpace(ToFsPath(Settings()->Temp)));
  });
}

}  // namespace

FrontServicesHost::FrontServicesHost()
    : importer_(&Settings),
      reports_(&dicom::SendCommitmentReport),
      report_jobs_(&Settings, &dicom::SendCommitmentReport),
      moves_(&Settings) {
  metrics_.AddGauge("vantor_incoming_files",
                    "Files in the incoming folder (images not yet taken into "
                    "the archive, and receptions in progress)",
                    &IncomingFiles);
  metrics_.AddGauge("vantor_incoming_free_bytes",
                    "Bytes free in the file system of the incoming folder",
                    &IncomingFreeBytes);
  metrics_.AddGauge("vantor_images_imported",
                    "Images the service's importer took into the archive "
                    "since it started",
                    [this] { return static_cast<double>(importer_.imported()); });
  // The requests' database work (the importer counts its own).
  const DatabaseCounters& db = connections_.counters();
  const std::string statements_help =
      "Database statements of the requests: run (every attempt), failed, "
      "retried (after a conflict or a lost connection), reconnected";
  const std::pair<const char*, const std::atomic<uint64_t>*> kinds[] = {
      {"run", &db.statements},
      {"failed", &db.errors},
      {"retried", &db.retries},
      {"reconnected", &db.reconnects}};
  for (const auto& [outcome, count] : kinds) {
    metrics_.AddReadCounter("vantor_database_statements_total", statements_help,
                            "outcome", outcome, [count = count] {
                              return static_cast<double>(count->load());
                            });
  }
  metrics_.AddGauge("vantor_move_jobs_running",
                    "Queued C-MOVE jobs this front's senders carry out now",
                    [this] { return static_cast<double>(moves_.running()); });
  // The queues in the archive database, the same on every front.
  const std::pair<JobKind, const char*> queues[] = {
      {JobKind::kMove, "move"},
      {JobKind::kCommitment, "commitment"},
      {JobKind::kImport, "import"}};
  for (const auto& [kind, queue] : queues) {
    metrics_.AddGauge(
        "vantor_queued_jobs_waiting",
        "Rows waiting in the archive's job tables (C-MOVE jobs, Storage "
        "Commitment reports, received images); 0 while work is not queued "
        "in the database",
        "queue", queue, [this, kind = kind] {
          return queue_depths_.Read(kind, false);
        });
    metrics_.AddGauge(
        "vantor_queued_jobs_running",
        "Rows of the archive's job tables some front holds now",
        "queue", queue, [this, kind = kind] {
          return queue_depths_.Read(kind, true);
        });
  }
  metrics_.AddGauge("vantor_database_connections_idle",
                    "Database connections kept open between requests",
                    [this] { return static_cast<double>(connections_.IdleCount()); });
}

std::string FrontServicesHost::NotReady(const Config& config) {
  if (stopping_) return "the service is stopping";
  if (!listening_) return "the DICOM port does not listen";
  // The check opens a connection as a request would (a kept one is tried
  // first); its failure is the answer, not an error of the service.
  bool reached = false;
  GuardWith(
      [&] {
        Database db(&connections_);
        db.Open(ConnectionText(config.DBServer));
        reached = true;
        db.Close();
      },
      [](const FailureInfo&) {});
  if (!reached) return "the archive database does not answer";
  const uint64_t free = Guard("HealthReady", uint64_t{0}, [&] {
    return AvailableSpace(ToFsPath(config.Temp));
  });
  if (free < kDiskSpaceMinimum)
    return "less than " + std::to_string(kDiskSpaceMinimum / 1048576) +
           " MiB free for incoming images";
  return "";
}

void FrontServicesHost::AuditReception(const Log& log,
                                       const dicom::Connection& connection,
                                       const dicom::ReceivedImage& image,
                                       uint16_t status) {
  GuardVoid(log, "AuditReception", [&] {
    AuditRecord record;
    record.event = AuditEvent::kInstancesTransferred;
    record.action = 'C';
    // Warnings (0001, Bxxx) stored the image; anything else did not.
    record.outcome = status == dicom::kStatusSuccess || status == 0x0001 ||
                             (status & 0xF000) == 0xB000
                         ? AuditOutcome::kSuccess
                         : AuditOutcome::kSeriousFailure;
    record.remote_aet = Trim(connection.calling_aet);
    record.remote_address = connection.remote_ip;
    record.remote_is_source = true;
    record.patient_id = image.PatientID();
    record.patient_name = image.PatientName();
    AuditStudy study;
    study.study_uid = image.StudyInstanceUID();
    study.sop_classes.push_back({image.SOPClassUID(), 1});
    record.studies.push_back(std::move(study));
    audit_.Record(std::move(record));
  });
}

dicom::RequestServices FrontServicesHost::RequestTable() {
  dicom::RequestServices services;
  services.GetPatientData = &GetPatientData;
  services.GetStudyData = &GetStudyData;
  services.GetSeriesData = &GetSeriesData;
  services.GetImageData = &GetImageData;
  services.PrepareSendCGet = &PrepareSendCGet;
  services.ImagePrepareForSend =
      [this](const dicom::RequestContext& context,
             const dicom::Dataset& identifier, const std::string& address,
             int32_t port, const std::string& calling_aet) {
        QueueMove queue;
        if (MovesQueued(*context.config)) {
          queue = [this](const dicom::RequestContext& c, const SendJob& job) {
            return QueueMoveJob(c, job, [this] { moves_.Wake(); });
          };
        }
        return ImagePrepareForSend(context, identifier, address, port,
                                   calling_aet, &senders_, queue);
      };
  services.Stopping = [this] { return stopping_.load(); };
  services.connections = &connections_;
  services.audit = &audit_;
  // The main loop treats this like a close request.
  services.EndService = [] { ::kill(::getpid(), SIGTERM); };
  return services;
}

dicom::FrontServices FrontServicesHost::Table() {
  dicom::FrontServices table;
  table.requests = RequestTable();
  table.AssociationCheck = &dicom::DCMServer_AssociationRequest2;
  table.ReceiveImage = [this](const Config& config, const Log& log,
                              const dicom::Connection& connection,
                              dicom::ReceivedImage& image) {
    const uint16_t status = DCMServer_ImageReceivedAsync(
        config, log, connection, image, [this] { return stopping_.load(); });
    // A dismissed image is answered with success too; the importer finds no
    // file for it and lets it be.
    if (status == dicom::kStatusSuccess && config.Import)
      importer_.Notify(image.SOPInstanceUID());
    AuditReception(log, connection, image, status);
    return status;
  };
  table.ReceptionFile = [](const Config& config,
                           const std::string& sop_instance,
                           const std::string& transfer_syntax) {
    return ReceptionFilePath(config, sop_instance, transfer_syntax);
  };
  table.StoredSyntax = &StoredSyntax;
  table.EventReport = [this](const Config& config, const Log& log,
                             const dicom::Connection& connection,
                             uint16_t event_id, const dicom::Dataset& dataset,
                             uint16_t& status) {
    DCMServer_EventReport(config, log, connection, event_id, dataset, status,
                          &connections_);
  };
  table.CommitmentRequested = [this](const Config& config, const Log& log,
                                     const dicom::Connection& connection,
                                     const dicom::CommitmentRequest& request) {
    return AcceptCommitmentRequest(config, log, connection, request,
                                   &connections_);
  };
  table.CommitmentDecide = [this](const Config& config, const Log& log,
                                  const dicom::CommitmentRequest& request) {
    return DecideCommitment(config, log, request, &connections_);
  };
  table.CommitmentReportUndelivered =
      [this](const Log& log, const dicom::ReportDestination& destination,
             const dicom::CommitmentReport& report) {
        // Queued in the archive, any front delivers it; when that fails,
        // this front keeps it in memory.
        const std::shared_ptr<const Config> config = Settings();
        if (JobsQueued(*config) &&
            QueueReport(*config, log, destination, report))
          return;
        reports_.Add(log, destination, report);
      };
  table.NotReady = [this](const Config& config) { return NotReady(config); };
  table.metrics = &metrics_;
  table.audit = &audit_;
  return table;
}

void FrontServicesHost::BeginShutdown() {
  stopping_ = true;
  senders_.Shutdown();
  moves_.Stop();
  importer_.Stop();
  report_jobs_.Stop();
  reports_.Shutdown();
}

bool FrontServicesHost::QueueReport(const Config& config, const Log& log,
                                    const dicom::ReportDestination& destination,
                                    const dicom::CommitmentReport& report) {
  return Guard(log, "CommitmentReports", false, [&] {
    Database db(&connections_);
    if (!ConOpen(db, config.DBServer, log)) return false;
    CommitmentJob job;
    job.destination = destination;
    job.report = report;
    const int64_t id = QueueCommitmentReport(db, job);
    ConClose(db, log);
    log.Debug("Storage commitment report " + report.transaction_uid +
                  " queued as job " + std::to_string(id),
              "CommitmentReports");
    report_jobs_.Wake();
    return true;
  });
}

void FrontServicesHost::StartImporter() { importer_.Start(); }

void FrontServicesHost::StartJobWorkers() {
  moves_.Start();
  report_jobs_.Start();
}

void FrontServicesHost::PruneConnections() {
  connections_.Prune(ConnectionText(Settings()->DBServer));
}

void FrontServicesHost::CloseConnections() { connections_.Clear(); }

void FrontServicesHost::PrepareSender() {
  if (stopping_) return;
  senders_.Prepare(InProgramDir("vantor-send"), Settings()->DBServer);
}

}  // namespace vantor
