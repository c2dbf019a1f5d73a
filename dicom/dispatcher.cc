#include "dicom/dispatcher.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

#include "dicom/node_registry.h"
#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/numeric.h"

namespace vantor::dicom {
namespace {

constexpr char kProcedure[] = "QueryRequest";

// What the failure path reports about the request.
struct RequestNotes {
  std::string operation;
  std::string level;
  std::string destination_aet;
  std::string destination_host;
  bool closed = false;  // the connection was closed before the common end
};

std::string RequiredText(const Value& v) {
  if (v.IsNull()) throw Failure(kInvalidUseOfNull, "Invalid use of Null");
  return v.ToText();
}

int32_t RequiredWholeNumber(const Value& v) {
  if (v.IsNull()) throw Failure(kInvalidUseOfNull, "Invalid use of Null");
  if (v.IsInteger()) {
    if (v.integer() < INT32_MIN || v.integer() > INT32_MAX)
      throw Failure(kOverflow, "Overflow");
    return static_cast<int32_t>(v.integer());
  }
  std::string text = Trim(v.ToText());
  if (!IsNumeric(text)) throw Failure(kTypeMismatch, "Type mismatch");
  return ToInt32(text);
}

// The audit record of a request: its caller, and for a retrieval the
// patient and the studies its identifier names.
AuditRecord RequestRecord(AuditEvent event, const Request& Req) {
  AuditRecord record;
  record.event = event;
  const Connection& connection = Req.connection();
  record.remote_aet = Trim(connection.calling_aet);
  record.remote_address = connection.remote_ip;
  if (event == AuditEvent::kQuery || event == AuditEvent::kSecurityAlert)
    return record;
  const Dataset& identifier = Req.identifier();
  record.patient_id = identifier.GetText(0x0010, 0x0020);
  record.patient_name = identifier.GetText(0x0010, 0x0010);
  // A list of studies is separated by backslashes.
  const std::string studies = identifier.GetText(0x0020, 0x000D);
  size_t start = 0;
  while (start <= studies.size()) {
    size_t end = studies.find('\\', start);
    if (end == std::string::npos) end = studies.size();
    const std::string uid = Trim(studies.substr(start, end - start));
    if (!uid.empty()) record.studies.push_back({uid, {}});
    start = end + 1;
  }
  return record;
}

void Audit(const RequestServices& services, AuditRecord record) {
  if (services.audit != nullptr) services.audit->Record(std::move(record));
}

// A retrieval's outcome: all sent, some failed, nothing sent.
AuditOutcome TransferOutcome(uint16_t status) {
  if (status == kStatusSuccess) return AuditOutcome::kSuccess;
  if (status == kStatusSubOperationsFailed) return AuditOutcome::kMinorFailure;
  return AuditOutcome::kSeriousFailure;
}

void AnswerFind(Request& Req, const RequestServices& services,
                const RequestContext& context, const std::string& level,
                const std::string& caller) {
  const Dataset& identifier = Req.identifier();
  const RequestServices::LevelQuery* query =
      level == "PATIENT"  ? &services.GetPatientData
      : level == "STUDY"  ? &services.GetStudyData
      : level == "SERIES" ? &services.GetSeriesData
      : level == "IMAGE"  ? &services.GetImageData
                          : nullptr;
  // Asked for, the Retrieve AE Title names this service: it is where the
  // matches can be retrieved from.
  const bool retrieve_aet = identifier.Has(0x0008, 0x0054);
  const Value own_aet(context.settings().OwnAET);
  size_t handed = 0;
  bool ok = true;
  if (query != nullptr) {
    // Each response goes out as soon as its row is read, and is gone then.
    ok = (*query)(context, identifier, [&](Dataset&& response) {
      ++handed;
      if (retrieve_aet) response.Put(0x0008, 0x0054, own_aet);
      Req.SendPending(response, kStatusPending);
      return !Req.finished();
    });
  }
  // A level query that failed is not a success with no matches, even when
  // some matches went out before it failed.
  Req.SendFinal(ok ? kStatusSuccess : kStatusUnableToProcess);
  context.log.Debug(std::to_string(handed) + " datasets sent to " + caller,
                    "");
  if (services.audit != nullptr) {
    AuditRecord record = RequestRecord(AuditEvent::kQuery, Req);
    record.outcome = ok ? AuditOutcome::kSuccess : AuditOutcome::kSeriousFailure;
    record.query_sop_class = Req.sop_class();
    record.query_bytes = identifier.Encoded();
    Audit(services, std::move(record));
  }
}

// The longest the dispatcher follows a sender; after that the requester is
// answered with what is known and the sender goes on alone.
constexpr auto kMoveWaitBound = std::chrono::hours(6);
// How often the sender's return file and the requester are looked at.
constexpr auto kMovePoll = std::chrono::milliseconds(20);

bool SameCounts(const MoveProgress& a, const MoveProgress& b) {
  return a.counts.completed == b.counts.completed &&
         a.counts.failed == b.counts.failed &&
         a.counts.warning == b.counts.warning && a.remaining == b.remaining;
}

// Follows the sender until it ends, the requester cancels or goes away, or
// the service stops; sends a pending response whenever its counts move.
MoveEnd FollowSender(Request& Req, const RequestServices& services,
                     MoveJob& job,
                     MoveProgress& last) {
  const auto until = std::chrono::steady_clock::now() + kMoveWaitBound;
  for (;;) {
    const bool ended = job.Ended();
    MoveProgress now = job.Progress();
    if (now.reported) {
      if (!ended && !SameCounts(now, last) && now.remaining > 0)
        Req.SendMoveProgress(now.counts, now.remaining);
      last = now;
    }
    if (ended) return MoveEnd::kSenderEnded;
    if (Req.cancelled()) {
      job.Stop();
      if (MoveProgress after = job.Progress(); after.reported) last = after;
      return MoveEnd::kCancelled;
    }
    // A requester that went away gets no answer; the images still travel.
    if (Req.finished() || services.Stopping() ||
        std::chrono::steady_clock::now() >= until)
      return MoveEnd::kGaveUp;
    job.WaitForChange(kMovePoll);
  }
}

void AnswerMove(Request& Req, const RequestServices& services,
                const RequestContext& context, RequestNotes& notes) {
  Database& db = context.db;
  const std::string destination = Req.move_destination();
  const std::string sql =
      NodeRowStatement(destination, std::nullopt, SqlSpelling::kUpperCase);
  ResultSet rs = db.Query(sql);
  context.log.Debug("Execute: " + sql, "");
  if (rs.empty()) {
    context.log.Error(0, destination + " Unknown move destination", kProcedure);
    Req.SendFinal(kStatusMoveDestinationUnknown);
    return;
  }
  notes.destination_host = RequiredText(rs.Get(0, "CallingHostName"));
  const std::string address = RequiredText(rs.Get(0, "IPAdress"));
  const int32_t port = RequiredWholeNumber(rs.Get(0, "IPPort"));
  const std::string calling_aet = RequiredText(rs.Get(0, "CallingAET"));
  notes.destination_aet = RequiredText(rs.Get(0, "AET"));
  // A requester that cancelled or went away meanwhile gets no images.
  if (Req.finished()) return;
  std::unique_ptr<MoveJob> job = services.ImagePrepareForSend(
      context, Req.identifier(), address, port, calling_aet);
  // A hand-off that did not happen must not read as success.
  if (!job) {
    Req.SendFinal(kStatusUnableToProcess);
    return;
  }
  context.log.Debug(
      "C-Move: Images-send delegated to send.exe for sending to " +
          Trim(destination),
      kProcedure);
  AuditRecord transfer = RequestRecord(AuditEvent::kBeginTransfer, Req);
  transfer.destination_aet = Trim(notes.destination_aet);
  transfer.destination_address = address;
  Audit(services, transfer);
  // The database is not needed while the sender works (the common end
  // does not close it twice).
  ConClose(db, context.log);
  notes.closed = true;
  // The requester learns what the sender achieved, not merely that it
  // started: the answer waits for the sender's end.
  MoveProgress last;
  MoveEnd end = FollowSender(Req, services, *job, last);
  if (end == MoveEnd::kGaveUp && Req.finished() && !Req.cancelled()) return;
  MoveAnswer answer = AnswerForMove(end, last);
  if (answer.with_counts) {
    Req.SendMoveFinal(answer.status, answer.counts, answer.remaining,
                      answer.error_comment);
  } else {
    Req.SendFinal(answer.status);
  }
  transfer.event = AuditEvent::kInstancesTransferred;
  transfer.action = 'R';
  transfer.outcome = TransferOutcome(answer.status);
  transfer.time = std::chrono::system_clock::now();
  Audit(services, std::move(transfer));
  char status[8];
  std::snprintf(status, sizeof status, "%04X", answer.status);
  context.log.Debug(
      "C-Move: status " + std::string(status) + ", " +
          std::to_string(answer.counts.completed) + " completed, " +
          std::to_string(answer.counts.failed) + " failed, " +
          std::to_string(answer.counts.warning) + " warning" +
          (answer.error_comment.empty() ? ""
                                        : " (" + answer.error_comment + ")") +
          " for " + Trim(destination),
      kProcedure);
}

void AnswerGet(Request& Req, const RequestServices& services,
               const RequestContext& context) {
  Database& db = context.db;
  const Connection& connection = Req.connection();
  const std::string sql = NodeRowStatement(
      connection.calling_aet, std::nullopt, SqlSpelling::kUpperCase);
  ResultSet rs = db.Query(sql);
  context.log.Debug("Execute: " + sql, "");
  if (rs.empty()) {
    context.log.Error(0, connection.calling_aet + " Unknown move destination",
                      kProcedure);
    Req.SendFinal(kStatusGetCallerUnknown);
    return;
  }
  std::vector<std::string> files;
  if (!services.PrepareSendCGet(context, Req.identifier(), files)) {
    // Images that could not be selected are not "none to send".
    Req.SendFinal(kStatusUnableToProcess);
    return;
  }
  AuditRecord transfer = RequestRecord(AuditEvent::kBeginTransfer, Req);
  Audit(services, transfer);
  Request::SubOperations counts = Req.SendFiles(files);
  const uint16_t status = counts.failed == 0 && counts.warning == 0
                              ? kStatusSuccess
                              : kStatusSubOperationsFailed;
  Req.SendFinal(status);
  transfer.event = AuditEvent::kInstancesTransferred;
  transfer.action = 'R';
  transfer.outcome = counts.completed == 0 && !files.empty()
                         ? AuditOutcome::kSeriousFailure
                         : TransferOutcome(status);
  transfer.time = std::chrono::system_clock::now();
  Audit(services, std::move(transfer));
  context.log.Debug("C-GET: " + std::to_string(files.size()) +
                        " images sent to " + Trim(connection.calling_aet) +
                        "\\" + Trim(connection.remote_ip),
                    kProcedure);
}

// Answers a caller the node table does not let in (unknown, or store-only)
// with the refusal dataset, and logs it.
void Refuse(Request& Req, const RequestServices& services,
            const RequestContext& context, bool store_only,
            const std::string& caller) {
  AuditRecord alert = RequestRecord(AuditEvent::kSecurityAlert, Req);
  alert.outcome = AuditOutcome::kMinorFailure;
  alert.alert = store_only ? AuditAlert::kRestrictedFunction
                           : AuditAlert::kNodeAuthentication;
  alert.alert_text = store_only ? "Unauthorized " + Req.operation() +
                                      " from " + caller + " (Store Only)"
                                : "Unauthorized " + Req.operation() +
                                      " from " + caller;
  Audit(services, std::move(alert));
  context.log.Error(0,
                    store_only ? "Unauthorized access from " +
                                     context.calling_aet + " (Store Only)"
                               : "Unauthorized access from " + caller,
                    kProcedure);
  // A date in a response is a DICOM date, whatever DateFormat says.
  Req.SendPending(
      RefusalAnswer(Req.identifier(), store_only, FormatToday("YYYYMMDD")),
      kStatusPending);
  Req.SendFinal(kStatusSuccess);
}

}  // namespace

MoveAnswer AnswerForMove(MoveEnd end, const MoveProgress& progress) {
  MoveAnswer answer;
  answer.counts = progress.counts;
  answer.remaining = progress.remaining;
  answer.with_counts = progress.reported;
  const int delivered = progress.counts.completed + progress.counts.warning;
  switch (end) {
    case MoveEnd::kCancelled:
      answer.status = kStatusCancel;
      answer.with_counts = true;
      return answer;
    case MoveEnd::kGaveUp:
      // The sender may still deliver; success cannot be promised.
      answer.status = kStatusUnableToProcess;
      answer.with_counts = true;
      answer.error_comment = "Delivery not finished when the service stopped";
      return answer;
    case MoveEnd::kSenderEnded:
      break;
  }
  // A sender that reports nothing (a site's own) is taken at its word.
  if (!progress.reported) {
    answer.status = kStatusSuccess;
    return answer;
  }
  answer.remaining = 0;
  const bool trouble = progress.counts.failed > 0 || !progress.error.empty() ||
                       progress.remaining > 0;
  if (!trouble) {
    answer.status = progress.counts.warning > 0 ? kStatusSubOperationsFailed
                                                : kStatusSuccess;
  } else if (delivered > 0) {
    answer.status = kStatusSubOperationsFailed;
    answer.error_comment = progress.error;
  } else if (progress.counts.failed > 0) {
    // Nothing could be delivered to the destination.
    answer.status = kStatusMoveOutOfResources;
    answer.error_comment = progress.error;
  } else {
    answer.status = kStatusUnableToProcess;
    answer.error_comment =
        progress.error.empty() ? "The sender did not finish" : progress.error;
  }
  return answer;
}

std::string FormatToday(const std::string& date_format) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char year[16], month[16], day[16];
  std::snprintf(year, sizeof year, "%04d", tm.tm_year + 1900);
  std::snprintf(month, sizeof month, "%02d", tm.tm_mon + 1);
  std::snprintf(day, sizeof day, "%02d", tm.tm_mday);
  const std::string pattern = date_format.empty() ? "YYYYMMDD" : date_format;
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    auto token = [&](const char* t) {
      size_t n = std::char_traits<char>::length(t);
      if (i + n > pattern.size()) return false;
      for (size_t k = 0; k < n; ++k)
        if (std::toupper(static_cast<unsigned char>(pattern[i + k])) != t[k])
          return false;
      return true;
    };
    if (token("YYYY")) {
      out += year;
      i += 4;
    } else if (token("MM")) {
      out += month;
      i += 2;
    } else if (token("DD")) {
      out += day;
      i += 2;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

Dataset RefusalAnswer(const Dataset& identifier, bool store_only,
                      const std::string& today) {
  Dataset answer(identifier);
  answer.Put(0x0010, 0x0010, Value("Unauthorized access"));
  answer.Put(0x0010, 0x0020, Value(store_only ? "Store only" : "Unknown"));
  answer.Put(0x0010, 0x0030, Value(today));
  answer.Put(0x0010, 0x0040, Value("O"));
  return answer;
}

void DCMServer_QueryRequest(Request& Req, const RequestServices& services,
                            const std::shared_ptr<const Config>& config,
                            const Log& log) {
  // Every decision below reads the one snapshot, every line goes to its log.
  Database db(services.connections);
  RequestContext context{.config = config, .log = log, .db = db};
  RequestNotes notes;
  GuardWith(
      [&] {
        const Connection& connection = Req.connection();
        context.calling_aet = Trim(connection.calling_aet);
        context.remote_ip = connection.remote_ip;
        context.cancelled = [&Req] { return Req.finished(); };
        const std::string caller = context.calling_aet + "/" + context.remote_ip;
        notes.operation = Req.operation();
        context.log.Debug("Query request received from " + caller, kProcedure);
        if (!ConOpen(db, config->DBServer, context.log)) {
          // ConOpen has logged why; nobody is let in without the node table.
          Req.SendFinal(kStatusUnableToProcess);
          return;
        }
        const Dataset& identifier = Req.identifier();

        int32_t node =
            GetAET(db, context.calling_aet, context.remote_ip,
                   context.bSiemensBug, context.bInternalID, context.log);
        if (node == kNodeLookupFailed) {
          // Nobody is let in on a lookup that did not happen.
          Req.SendFinal(kStatusUnableToProcess);
          ConClose(db, context.log);
          return;
        }
        if (node == kUnknownNode || node == kStoreOnlyNode) {
          Refuse(Req, services, context, node == kStoreOnlyNode, caller);
          return;
        }

        notes.level = RequiredText(identifier.Get(0x0008, 0x0052));
        context.log.Debug("Operation " + notes.operation, "");
        if (notes.operation == "C-FIND") {
          AnswerFind(Req, services, context, notes.level, caller);
        } else if (notes.operation == "C-GET" ||
                   notes.operation == "C-MOVE") {
          if (!Req.finished()) {
            if (notes.operation == "C-MOVE")
              AnswerMove(Req, services, context, notes);
            else
              AnswerGet(Req, services, context);
          }
        }
        if (!notes.closed) ConClose(db, context.log);
      },
      [&](const FailureInfo& failure) {
        std::string text = failure.description + " " + kProcedure +
                           " Port: " + std::to_string(config->DCM) +
                           " Operation: " + notes.operation;
        if (!notes.level.empty()) text += " Level: " + notes.level;
        text += " Destination: " + notes.destination_aet +
                " Host: " + notes.destination_host;
        context.log.Error(failure.number, Trim(text), kProcedure);
        if (failure.number == kFatalToolkitFailure) {
          services.EndService();
          return;
        }
        // The request was not served: it must not read as a success.
        if (!Req.finished()) Req.SendFinal(kStatusUnableToProcess);
        if (!notes.closed) ConClose(db, context.log);
      });
}

}  // namespace vantor::dicom
