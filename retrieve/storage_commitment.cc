#include "retrieve/storage_commitment.h"

#include <sys/stat.h>

#include "dicom/node_registry.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "host/base/tls_settings.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "StorageCommitment";
// Where a node without IPPort is reached.
constexpr int32_t kDefaultPort = 104;

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string IncomingFolder(const Config& config) {
  std::string folder = ToFsPath(config.Temp);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

// The destination of the report from the caller's node row.
dicom::ReportDestination DestinationOf(const Config& config,
                                       const ResultSet& rs) {
  dicom::ReportDestination d;
  d.address = Trim(rs.Get(0, "IPAdress").ToText());
  const Value port = rs.Get(0, "IPPort");
  d.port =
      port.IsInteger() ? static_cast<int32_t>(port.integer()) : kDefaultPort;
  d.called_aet = Trim(rs.Get(0, "CallingAET").ToText());
  if (d.called_aet.empty()) d.called_aet = Trim(rs.Get(0, "AET").ToText());
  d.calling_aet = config.OwnAET;
  // A site's table without UseTLS reads as plain TCP.
  const int use_tls = rs.ColumnIndex("UseTLS");
  d.tls = use_tls >= 0 && rs.rows[0][static_cast<size_t>(use_tls)].ToBool();
  if (d.tls) d.tls_files = TlsFilesOf(config);
  return d;
}

// The archive's answer for the references not in the incoming folder, on
// one connection opened with the first of them and closed by Close. Once
// the database fails, every further reference fails with 0110 unasked.
class ArchiveLookup {
 public:
  ArchiveLookup(const Config& config, const Log& log,
                ConnectionPool* connections)
      : config_(config), log_(log), db_(connections) {}

  // Closes the connection when one was opened.
  void Close() {
    if (opened_) ConClose(db_, log_);
  }

  // 0000 when the archive holds the instance under its class; else the
  // failure reason.
  uint16_t Reason(const dicom::SopReference& reference) {
    if (!opened_) {
      opened_ = true;
      failed_ = !ConOpen(db_, config_.DBServer, log_);
    }
    ResultSet rs;
    if (!failed_) {
      GuardWith(
          [&] {
            const std::string sql =
                CommittedImageStatement(reference.sop_instance);
            log_.Debug("Execute: " + sql, kProcedure);
            rs = db_.Query(sql);
          },
          [&](const FailureInfo& info) {
            log_.Error(info.number, info.description, kProcedure);
            failed_ = true;
          });
    }
    if (failed_) return dicom::kStatusProcessingFailure;
    if (rs.empty()) return dicom::kStatusNoSuchObjectInstance;
    const Value stored_class = rs.Get(0, "SOPClassUID");
    if (!stored_class.IsNull() &&
        Trim(stored_class.ToText()) != reference.sop_class)
      return dicom::kStatusClassInstanceConflict;
    return dicom::kStatusSuccess;
  }

  bool Failed() const { return failed_; }

 private:
  const Config& config_;
  const Log& log_;
  Database db_;
  bool opened_ = false;
  bool failed_ = false;
};

}  // namespace

bool InIncomingFolder(const std::string& folder, const std::string& uid) {
  // In the order an image moves through them (the importer renames it into
  // "importing/", then removes it there after its rows are committed or
  // renames it into "failed/"), so that one in motion is never missed.
  return IsRegularFile(folder + uid + ".dcm") ||
         IsRegularFile(folder + uid + ".dcm.ren") ||
         IsRegularFile(folder + "importing/" + uid + ".dcm") ||
         IsRegularFile(folder + "failed/" + uid + ".dcm");
}

std::string CommittedImageStatement(std::string_view uid) {
  std::string sql = "SELECT ImageUID, SOPClassUID FROM tblImages";
  sql += " WHERE ImageUID = '";
  sql += SqlQuote(uid);
  sql += "'";
  return sql;
}

dicom::CommitmentAcceptance AcceptCommitmentRequest(
    const Config& config, const Log& log, const dicom::Connection& connection,
    const dicom::CommitmentRequest& request, ConnectionPool* connections) {
  dicom::CommitmentAcceptance acceptance;
  acceptance.status = dicom::kStatusProcessingFailure;
  const std::string calling = Trim(connection.calling_aet);
  const std::string caller = calling + "/" + connection.remote_ip;
  GuardWith(
      [&] {
        log.Debug("Storage commitment request from " + caller +
                      ": transaction " + request.transaction_uid + ", " +
                      std::to_string(request.references.size()) + " referenced",
                  kProcedure);
        Database db(connections);
        // A failed open is logged; the lookup then fails too.
        ConOpen(db, config.DBServer, log);
        bool siemens = false;
        bool internal_id = false;
        const int32_t node = dicom::GetAET(db, calling, connection.remote_ip,
                                           siemens, internal_id, log);
        switch (node) {
          case dicom::kKnownNode: {
            const std::string sql =
                dicom::NodeLookupStatement(calling, connection.remote_ip);
            log.Debug("Execute: " + sql, kProcedure);
            ResultSet rs = db.Query(sql);
            if (rs.empty())
              throw Failure(kInternalError, "the node row went away");
            acceptance.destination = DestinationOf(config, rs);
            acceptance.retrieve_aet = config.OwnAET;
            acceptance.status = dicom::kStatusSuccess;
            break;
          }
          case dicom::kUnknownNode:
            log.Error(0,
                      "Unauthorized storage commitment request from " + caller,
                      kProcedure);
            acceptance.status = dicom::kStatusNotAuthorized;
            break;
          case dicom::kStoreOnlyNode:
            log.Error(0,
                      "Unauthorized storage commitment request from " + caller +
                          " (Store Only)",
                      kProcedure);
            acceptance.status = dicom::kStatusNotAuthorized;
            break;
          default:
            log.Error(0,
                      "Storage commitment request from " + caller +
                          " not carried out: the caller cannot be "
                          "looked up",
                      kProcedure);
            acceptance.status = dicom::kStatusProcessingFailure;
            break;
        }
        ConClose(db, log);
      },
      [&](const FailureInfo& info) {
        log.Error(info.number,
                  "Storage commitment request from " + caller + ": " +
                      info.description,
                  kProcedure);
        acceptance.status = dicom::kStatusProcessingFailure;
      });
  return acceptance;
}

dicom::CommitmentOutcome DecideCommitment(
    const Config& config, const Log& log,
    const dicom::CommitmentRequest& request, ConnectionPool* connections) {
  dicom::CommitmentOutcome outcome;
  GuardWith(
      [&] {
        ArchiveLookup archive(config, log, connections);
        const std::string folder = IncomingFolder(config);
        for (const dicom::SopReference& reference : request.references) {
          const std::string& uid = reference.sop_instance;
          if (!IsFileNameUid(uid)) {
            outcome.failed.push_back(
                {reference, dicom::kStatusNoSuchObjectInstance});
          } else if (InIncomingFolder(folder, uid)) {
            outcome.committed.push_back(reference);
          } else if (const uint16_t reason = archive.Reason(reference);
                     reason == dicom::kStatusSuccess) {
            outcome.committed.push_back(reference);
          } else {
            outcome.failed.push_back({reference, reason});
          }
        }
        archive.Close();
        if (archive.Failed()) {
          log.Error(0,
                    "Storage commitment " + request.transaction_uid +
                        ": the archive could not be asked; what is not "
                        "in the incoming folder is reported failed",
                    kProcedure);
        }
      },
      [&](const FailureInfo& info) {
        log.Error(info.number, info.description, kProcedure);
        // Nothing is reported committed that was not looked at.
        outcome = {};
        for (const dicom::SopReference& reference : request.references)
          outcome.failed.push_back(
              {reference, dicom::kStatusProcessingFailure});
      });
  log.Debug("Storage commitment " + request.transaction_uid + ": " +
                std::to_string(outcome.committed.size()) + " committed, " +
                std::to_string(outcome.failed.size()) + " failed",
            kProcedure);
  return outcome;
}

}  // namespace vantor
