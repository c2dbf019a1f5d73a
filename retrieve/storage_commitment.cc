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
    const Config& config, const dicom::Connection& connection,
    const dicom::CommitmentRequest& request) {
  dicom::CommitmentAcceptance acceptance;
  acceptance.status = dicom::kStatusProcessingFailure;
  const std::string calling = Trim(connection.calling_aet);
  const std::string caller = calling + "/" + connection.remote_ip;
  GuardWith(
      [&] {
        DebugLogWrite("Storage commitment request from " + caller +
                          ": transaction " + request.transaction_uid + ", " +
                          std::to_string(request.references.size()) +
                          " referenced",
                      kProcedure);
        Database db;
        // A failed open is logged; the lookup then fails too.
        ConOpen(db, config.DBServer);
        bool siemens = false;
        bool internal_id = false;
        const int32_t node = dicom::GetAET(db, calling, connection.remote_ip,
                                           siemens, internal_id);
        switch (node) {
          case dicom::kKnownNode: {
            const std::string sql =
                dicom::NodeLookupStatement(calling, connection.remote_ip);
            DebugLogWrite("Execute: " + sql, kProcedure);
            ResultSet rs = db.Query(sql);
            if (rs.empty())
              throw Failure(kInternalError, "the node row went away");
            acceptance.destination = DestinationOf(config, rs);
            acceptance.retrieve_aet = config.OwnAET;
            acceptance.status = dicom::kStatusSuccess;
            break;
          }
          case dicom::kUnknownNode:
            ErrorLogWrite(
                0, "Unauthorized storage commitment request from " + caller,
                kProcedure);
            acceptance.status = dicom::kStatusNotAuthorized;
            break;
          case dicom::kStoreOnlyNode:
            ErrorLogWrite(0,
                          "Unauthorized storage commitment request from " +
                              caller + " (Store Only)",
                          kProcedure);
            acceptance.status = dicom::kStatusNotAuthorized;
            break;
          default:
            ErrorLogWrite(0,
                          "Storage commitment request from " + caller +
                              " not carried out: the caller cannot be "
                              "looked up",
                          kProcedure);
            acceptance.status = dicom::kStatusProcessingFailure;
            break;
        }
        ConClose(db);
      },
      [&](const FailureInfo& info) {
        ErrorLogWrite(info.number,
                      "Storage commitment request from " + caller + ": " +
                          info.description,
                      kProcedure);
        acceptance.status = dicom::kStatusProcessingFailure;
      });
  return acceptance;
}

dicom::CommitmentOutcome DecideCommitment(
    const Config& config, const dicom::CommitmentRequest& request) {
  dicom::CommitmentOutcome outcome;
  GuardWith(
      [&] {
        const std::string folder = IncomingFolder(config);
        Database db;
        bool opened = false;
        bool database_failed = false;
        for (const dicom::SopReference& reference : request.references) {
          const std::string& uid = reference.sop_instance;
          if (!IsFileNameUid(uid)) {
            outcome.failed.push_back(
                {reference, dicom::kStatusNoSuchObjectInstance});
            continue;
          }
          if (InIncomingFolder(folder, uid)) {
            outcome.committed.push_back(reference);
            continue;
          }
          if (!opened) {
            opened = true;
            database_failed = !ConOpen(db, config.DBServer);
          }
          ResultSet rs;
          if (!database_failed) {
            GuardWith(
                [&] {
                  const std::string sql = CommittedImageStatement(uid);
                  DebugLogWrite("Execute: " + sql, kProcedure);
                  rs = db.Query(sql);
                },
                [&](const FailureInfo& info) {
                  ErrorLogWrite(info.number, info.description, kProcedure);
                  database_failed = true;
                });
          }
          if (database_failed) {
            outcome.failed.push_back(
                {reference, dicom::kStatusProcessingFailure});
          } else if (rs.empty()) {
            outcome.failed.push_back(
                {reference, dicom::kStatusNoSuchObjectInstance});
          } else {
            const Value stored_class = rs.Get(0, "SOPClassUID");
            if (!stored_class.IsNull() &&
                Trim(stored_class.ToText()) != reference.sop_class) {
              outcome.failed.push_back(
                  {reference, dicom::kStatusClassInstanceConflict});
            } else {
              outcome.committed.push_back(reference);
            }
          }
        }
        if (opened) ConClose(db);
        if (database_failed) {
          ErrorLogWrite(0,
                        "Storage commitment " + request.transaction_uid +
                            ": the archive could not be asked; what is not "
                            "in the incoming folder is reported failed",
                        kProcedure);
        }
      },
      [&](const FailureInfo& info) {
        ErrorLogWrite(info.number, info.description, kProcedure);
        // Nothing is reported committed that was not looked at.
        outcome = {};
        for (const dicom::SopReference& reference : request.references)
          outcome.failed.push_back(
              {reference, dicom::kStatusProcessingFailure});
      });
  DebugLogWrite("Storage commitment " + request.transaction_uid + ": " +
                    std::to_string(outcome.committed.size()) + " committed, " +
                    std::to_string(outcome.failed.size()) + " failed",
                kProcedure);
  return outcome;
}

}  // namespace vantor
