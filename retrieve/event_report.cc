#include "retrieve/event_report.h"

#include <cctype>
#include <optional>

#include "dicom/node_registry.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/numeric.h"
#include "host/base/text.h"

namespace vantor {
namespace {

constexpr uint16_t kCommandEvent = 10;
constexpr char kUpdateError[] = "DCMServer EventReport UPDATE_ERROR";
constexpr char kErrorHandler[] = "DCMServer EventReport ERROR_HANDLER";
constexpr char kProcedure[] = "DCMServer EventReport";

// The text of an attribute that must have a value.
std::string Required(const dicom::Dataset& dataset, uint16_t group,
                     uint16_t element) {
  Value value = dataset.Get(group, element);
  if (value.IsNull()) throw Failure(kInvalidUseOfNull, "Invalid use of Null");
  return value.ToText();
}

// Runs `sql` on a fresh connection to `db_server` and closes it.
void UpdateOn(const Log& log, const std::string& db_server,
              const std::string& sql, bool log_server) {
  Database db;
  if (log_server) log.Debug("SQL Server: " + db_server, "");
  db.Open(ConnectionText(db_server));
  if (log_server) log.Debug("SQL Command: " + sql, "");
  db.Execute(sql);
  db.Close();
}

// Sets the study's status on every server of the list that the allow-list
// holds; a server that is not allowed is not connected to, a server that
// fails is logged and the next one tried. Returns false when one was not
// allowed or failed.
bool Renamer(const Config& config, const Log& log,
             const dicom::Dataset& dataset) {
  log.Debug("EventReport Aktion: RENAMER", "");
  const std::string servers_text = dataset.GetText(0x0019, 0x0020);
  log.Debug("Sql-Servers: " + servers_text, "");
  const std::vector<std::string> servers = SplitServerList(servers_text);
  const std::string study_uid = Required(dataset, 0x0019, 0x0030);
  log.Debug("StudyUID: " + study_uid, "");
  const std::string sql = RenamerStatement(study_uid);
  const std::vector<std::string>& allowed = config.EventServers;
  bool all_done = true;
  for (const std::string& server : servers) {
    std::optional<std::string> target = AllowedEventServer(server, allowed);
    if (!target) {
      log.Error(0, "Server not allowed for event reports: " + server,
                kUpdateError);
      all_done = false;
      continue;
    }
    GuardWith([&] { UpdateOn(log, *target, sql, true); },
              [&](const FailureInfo& info) {
                log.Error(info.number, info.description, kUpdateError);
                all_done = false;
              });
  }
  return all_done;
}

void KeyStudy(const Config& config, const Log& log,
              const dicom::Dataset& dataset) {
  const std::string value = Trim(Required(dataset, 0x0019, 0x0011));
  if (!IsWholeNumber(value))
    throw Failure(kTypeMismatch, "Type mismatch (KeyStudy value '" + value +
                                     "' is no whole number)");
  const std::string study_uid = dataset.StudyInstanceUID();
  if (study_uid.empty())
    throw Failure(kInvalidUseOfNull, "Invalid use of Null");
  const std::string sql = KeyStudyStatement(value, study_uid);
  log.Debug("SQL Command: " + sql, "");
  UpdateOn(log, config.DBServer, sql, false);
}

// Whether the caller may have its event report carried out: a node of the
// node table (AE title trimmed, and its address) that is not store-only.
// Otherwise sets `Status` to the refusal and logs it.
bool CallerAuthorised(const Config& config, const Log& log,
                      const dicom::Connection& connection, uint16_t& Status,
                      ConnectionPool* connections) {
  const std::string calling = Trim(connection.calling_aet);
  const std::string caller = calling + "/" + connection.remote_ip;
  Database db(connections);
  // A failed open is logged; the lookup then fails too.
  ConOpen(db, config.DBServer, log);
  bool siemens = false;
  bool internal_id = false;
  const int32_t node = dicom::GetAET(db, calling, connection.remote_ip, siemens,
                                     internal_id, log);
  ConClose(db, log);
  switch (node) {
    case dicom::kKnownNode:
      return true;
    case dicom::kUnknownNode:
      log.Error(0, "Unauthorized event report from " + caller, kProcedure);
      Status = dicom::kStatusNotAuthorized;
      return false;
    case dicom::kStoreOnlyNode:
      log.Error(0, "Unauthorized event report from " + caller + " (Store Only)",
                kProcedure);
      Status = dicom::kStatusNotAuthorized;
      return false;
    default:
      // Nobody is let in on a lookup that did not happen.
      log.Error(0,
                "Event report from " + caller +
                    " not carried out: the caller cannot be looked up",
                kProcedure);
      Status = dicom::kStatusProcessingFailure;
      return false;
  }
}

}  // namespace

std::optional<std::string> AllowedEventServer(
    const std::string& server, const std::vector<std::string>& allowed) {
  for (const std::string& entry : allowed) {
    if (entry == server) return Trim(entry);
  }
  const std::string trimmed = Trim(server);
  if (trimmed.empty()) return std::nullopt;
  for (const std::string& entry : allowed) {
    if (Trim(entry) == trimmed) return trimmed;
  }
  return std::nullopt;
}

std::vector<std::string> SplitServerList(const std::string& text) {
  std::vector<std::string> servers;
  if (text.empty()) return servers;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(';', start);
    servers.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return servers;
    start = end + 1;
  }
}

std::string RenamerStatement(std::string_view study_uid) {
  return "UPDATE tblstudies SET FkeyStatusID = -1 WHERE StudyUID = '" +
         SqlQuote(study_uid) + "'";
}

std::string KeyStudyStatement(std::string_view key_study,
                              std::string_view study_uid) {
  return "UPDATE tblstudies set KeyStudy = " + std::string(key_study) +
         " WHERE StudyUID = '" + SqlQuote(study_uid) + "'";
}

bool IsWholeNumber(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+'))
    text.remove_prefix(1);
  if (text.empty() || text.size() > 18) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

void DCMServer_EventReport(const Config& config, const Log& log,
                           const dicom::Connection& Connection,
                           uint16_t EventID, const dicom::Dataset& dataset,
                           uint16_t& Status, ConnectionPool* connections) {
  GuardWith(
      [&] {
        log.Debug("EventReport ID " + std::to_string(EventID), "");
        if (!CallerAuthorised(config, log, Connection, Status, connections))
          return;
        if (EventID != kCommandEvent) return;
        const std::string command = UpperCase(dataset.GetText(0x0019, 0x0010));
        if (command == "RENAMER") {
          if (!Renamer(config, log, dataset))
            Status = dicom::kStatusProcessingFailure;
        } else if (command == "KEYSTUDY") {
          KeyStudy(config, log, dataset);
        }
      },
      [&](const FailureInfo& info) {
        log.Error(info.number, info.description, kErrorHandler);
        Status = dicom::kStatusProcessingFailure;
      });
}

}  // namespace vantor
