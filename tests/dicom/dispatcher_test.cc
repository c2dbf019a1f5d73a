// The request dispatcher alone: a scripted request and scripted services on
// a real SQLite node table, so that every status decision is seen without a
// network or a query engine.
#include "dicom/dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "dicom/node_registry.h"
#include "host/base/config.h"
#include "host/base/connection_pool.h"
#include "host/base/failure.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor::dicom {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kCaller[] = "VIEWER";
constexpr char kCallerIp[] = "127.0.0.1";

// A request whose answers are recorded.
class ScriptedRequest : public Request {
 public:
  ScriptedRequest(std::string operation, Dataset identifier)
      : operation_(std::move(operation)), identifier_(std::move(identifier)) {
    connection_.calling_aet = kCaller;
    connection_.remote_ip = kCallerIp;
    connection_.number = 1;
  }

  const Connection& connection() const override { return connection_; }
  std::string operation() const override { return operation_; }
  const Dataset& identifier() const override { return identifier_; }
  std::string move_destination() const override { return destination; }
  bool finished() const override { return finished_flag || cancelled_flag; }
  bool cancelled() const override { return cancelled_flag; }
  void SendPending(const Dataset& dataset, uint16_t status) override {
    if (finished()) return;
    pending.push_back(dataset);
    pending_statuses.push_back(status);
  }
  void SendFinal(uint16_t status) override { finals.push_back(status); }
  void SendMoveProgress(const SubOperations& counts, int remaining) override {
    progress.push_back(counts.completed * 1000 + remaining);
  }
  void SendMoveFinal(uint16_t status, const SubOperations& counts, int,
                     const std::string& error_comment) override {
    finals.push_back(status);
    final_counts = counts;
    final_comment = error_comment;
  }
  SubOperations SendFiles(const std::vector<std::string>& paths) override {
    sent_files = paths;
    return files_result;
  }

  std::string destination;
  bool finished_flag = false;
  bool cancelled_flag = false;
  SubOperations files_result;

  std::vector<Dataset> pending;
  std::vector<uint16_t> pending_statuses;
  std::vector<uint16_t> finals;
  std::vector<int> progress;
  SubOperations final_counts;
  std::string final_comment;
  std::vector<std::string> sent_files;

 private:
  std::string operation_;
  Dataset identifier_;
  Connection connection_;
};

// A sender with a fixed report; `stopped` (owned by the test, as the job
// goes with the request) notes a stop.
class EndedJob : public MoveJob {
 public:
  explicit EndedJob(MoveProgress progress, bool ended = true,
                    bool* stopped = nullptr)
      : progress_(progress), ended_(ended), stopped_(stopped) {}
  bool Ended() override { return ended_; }
  MoveProgress Progress() override { return progress_; }
  void Stop() override {
    if (stopped_ != nullptr) *stopped_ = true;
    ended_ = true;
  }

 private:
  MoveProgress progress_;
  bool ended_;
  bool* stopped_;
};

// Services that answer as scripted and note what was asked of them.
class ScriptedServices {
 public:
  RequestServices Wired() {
    RequestServices services;
    services.GetPatientData = Level("PATIENT");
    services.GetStudyData = Level("STUDY");
    services.GetSeriesData = Level("SERIES");
    services.GetImageData = Level("IMAGE");
    services.PrepareSendCGet = [this](const RequestContext&, const Dataset&,
                                      std::vector<std::string>& files) {
      calls.push_back("CGET");
      files = cget_files;
      return cget_ok;
    };
    services.ImagePrepareForSend =
        [this](const RequestContext&, const Dataset&,
               const std::string& address, int32_t port,
               const std::string& calling_aet) {
          calls.push_back("MOVE " + address + ":" + std::to_string(port) +
                          " " + calling_aet);
          return std::move(move_job);
        };
    services.Stopping = [] { return false; };
    services.EndService = [this] { ended_service = true; };
    services.audit = audit;
    return services;
  }

  std::vector<std::string> calls;
  std::optional<DatasetCollection> result = DatasetCollection(2);
  int32_t throw_number = 0;  // a level query that throws this
  std::vector<std::string> cget_files;
  bool cget_ok = true;
  std::unique_ptr<MoveJob> move_job;
  bool ended_service = false;
  AuditSink* audit = nullptr;

 private:
  RequestServices::LevelQuery Level(std::string level) {
    return [this, level](const RequestContext& context, const Dataset&,
                         const ResponseSink& sink) {
      calls.push_back(level + (context.bSiemensBug ? " siemens" : "") +
                      (context.bInternalID ? " internal" : ""));
      if (throw_number != 0) throw Failure(throw_number, "scripted failure");
      if (!result) return false;
      for (Dataset d : *result)
        if (!sink(std::move(d))) break;
      return true;
    };
  }
};

Dataset Identifier(const char* level) {
  Dataset d;
  if (level != nullptr) d.Put(0x0008, 0x0052, Value(level));
  d.Put(0x0010, 0x0020, Value("P1"));
  return d;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestProgramDir();
    config_.DCM = 4711;
    config_.OwnAET = "VANTOR";
    config_.DBServer = archive_.DBServer();
    error_log_ = TestProgramDir() + "/Logs/ErrorVantor4711.log";
    log_start_ = ReadWholeFile(error_log_).size();
  }

  // What the error log gained during the test.
  std::string NewErrors() const {
    return ReadWholeFile(error_log_).substr(log_start_);
  }

  ScriptedRequest& Run(const char* operation, const char* level) {
    request_ = std::make_unique<ScriptedRequest>(operation, Identifier(level));
    return *request_;
  }
  // Serves the request under the test's settings, as the front hands them.
  void Dispatch() {
    DCMServer_QueryRequest(*request_, services_.Wired(),
                           std::make_shared<const Config>(config_),
                           Log::Of(config_));
  }

  FixtureArchive archive_;
  Config config_;
  ScriptedServices services_;
  std::unique_ptr<ScriptedRequest> request_;
  std::string error_log_;
  size_t log_start_ = 0;
};

TEST_F(DispatcherTest, UnknownAndStoreOnlyCallersGetTheRefusalOnly) {
  ScriptedRequest& unknown = Run("C-FIND", "STUDY");
  Dispatch();
  EXPECT_THAT(services_.calls, IsEmpty());
  ASSERT_EQ(unknown.pending.size(), 1u);
  EXPECT_EQ(unknown.pending[0].GetText(0x0010, 0x0010), "Unauthorized access");
  EXPECT_EQ(unknown.pending[0].GetText(0x0010, 0x0020), "Unknown");
  EXPECT_EQ(unknown.pending[0].GetText(0x0010, 0x0030).size(), 8u);
  EXPECT_EQ(unknown.pending[0].GetText(0x0010, 0x0040), "O");
  EXPECT_THAT(unknown.finals, ElementsAre(kStatusSuccess));
  EXPECT_THAT(NewErrors(), HasSubstr("Unauthorized access from VIEWER/"
                                     "127.0.0.1\tQueryRequest"));

  archive_.AddNode(kCaller, kCallerIp, false, false, /*store_only=*/true);
  ScriptedRequest& store_only = Run("C-GET", "STUDY");
  Dispatch();
  EXPECT_THAT(services_.calls, IsEmpty());
  ASSERT_EQ(store_only.pending.size(), 1u);
  EXPECT_EQ(store_only.pending[0].GetText(0x0010, 0x0020), "Store only");
  EXPECT_THAT(store_only.finals, ElementsAre(kStatusSuccess));
  EXPECT_THAT(NewErrors(),
              HasSubstr("Unauthorized access from VIEWER (Store Only)"));
}

TEST_F(DispatcherTest, EachLevelGoesToItsQueryWithTheNodesFlags) {
  archive_.AddNode(kCaller, kCallerIp, /*siemens=*/true, /*internal_id=*/true);
  for (const char* level : {"PATIENT", "STUDY", "SERIES", "IMAGE"}) {
    SCOPED_TRACE(level);
    services_.calls.clear();
    ScriptedRequest& request = Run("C-FIND", level);
    Dispatch();
    EXPECT_THAT(services_.calls,
                ElementsAre(std::string(level) + " siemens internal"));
    EXPECT_EQ(request.pending.size(), 2u);
    EXPECT_THAT(request.pending_statuses, Not(IsEmpty()));
    for (uint16_t s : request.pending_statuses) EXPECT_EQ(s, kStatusPending);
    EXPECT_THAT(request.finals, ElementsAre(kStatusSuccess));
    // Not asked for: no Retrieve AE Title is added.
    EXPECT_FALSE(request.pending[0].Has(0x0008, 0x0054));
  }
  EXPECT_EQ(NewErrors(), "");
}

// A request on a connection of the service's pool writes the debug lines a
// request on a connection of its own writes, and the next request gets the
// same connection back.
TEST_F(DispatcherTest, PooledRequestsLogAsBeforeAndShareTheirConnection) {
  archive_.AddNode(kCaller, kCallerIp);
  config_.Debug = true;
  const std::string debug_log = TestProgramDir() + "/Logs/DebugVantor4711.log";
  ConnectionPool pool;
  // The level query tells whether its connection carries the mark of an
  // earlier request (a temporary table only that connection sees).
  std::vector<bool> marked;
  RequestServices services = services_.Wired();
  services.GetStudyData = [&](const RequestContext& context, const Dataset&,
                              const ResponseSink& sink) {
    ResultSet rs = context.db.Query(
        "SELECT count(*) AS n FROM sqlite_temp_master "
        "WHERE name = 'pool_mark'");
    marked.push_back(rs.Get(0, "n").integer() == 1);
    if (!marked.back())
      context.db.Execute("CREATE TEMP TABLE pool_mark (k INTEGER)");
    sink(Dataset());
    return true;
  };
  auto serve = [&](ConnectionPool* connections) {
    std::filesystem::remove(debug_log);
    services.connections = connections;
    ScriptedRequest& request = Run("C-FIND", "STUDY");
    DCMServer_QueryRequest(request, services,
                           std::make_shared<const Config>(config_),
                           Log::Of(config_));
    EXPECT_THAT(request.finals, ElementsAre(kStatusSuccess));
    std::vector<std::string> messages;
    const std::string text = ReadWholeFile(debug_log);
    const std::regex line(R"([^\t]*\t([^\r]*)\r\n)");
    for (std::sregex_iterator it(text.begin(), text.end(), line), end;
         it != end; ++it)
      messages.push_back((*it)[1]);
    return messages;
  };
  const std::vector<std::string> own = serve(nullptr);
  EXPECT_THAT(own, ::testing::Contains("DB-Connection established\tConOpen"));
  EXPECT_THAT(own, ::testing::Contains(
                       "Execute: " + NodeLookupStatement(kCaller, kCallerIp) +
                       "\tGetAET"));
  EXPECT_THAT(own, ::testing::Contains("DB-Connection closed\tConClose"));
  EXPECT_EQ(serve(&pool), own);
  EXPECT_EQ(serve(&pool), own);
  EXPECT_EQ(pool.IdleCount(), 1u);
  EXPECT_EQ(marked, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(NewErrors(), "");
}

TEST_F(DispatcherTest, RetrieveAETitleNamesThisService) {
  archive_.AddNode(kCaller, kCallerIp);
  request_ = std::make_unique<ScriptedRequest>("C-FIND", [] {
    Dataset d = Identifier("STUDY");
    d.Put(0x0008, 0x0054, Value("SOMEONE"));
    return d;
  }());
  Dispatch();
  ASSERT_EQ(request_->pending.size(), 2u);
  for (const Dataset& d : request_->pending)
    EXPECT_EQ(d.GetText(0x0008, 0x0054), "VANTOR");
}

TEST_F(DispatcherTest, LevelsAreMatchedExactly) {
  archive_.AddNode(kCaller, kCallerIp);
  for (const char* level : {"study", "Study", "WORKLIST"}) {
    SCOPED_TRACE(level);
    ScriptedRequest& request = Run("C-FIND", level);
    Dispatch();
    EXPECT_THAT(services_.calls, IsEmpty());
    EXPECT_THAT(request.pending, IsEmpty());
    EXPECT_THAT(request.finals, ElementsAre(kStatusSuccess));
  }
}

TEST_F(DispatcherTest, AFailedQueryIsNotASuccessWithNoMatches) {
  archive_.AddNode(kCaller, kCallerIp);
  services_.result.reset();
  ScriptedRequest& request = Run("C-FIND", "SERIES");
  Dispatch();
  EXPECT_THAT(request.pending, IsEmpty());
  EXPECT_THAT(request.finals, ElementsAre(kStatusUnableToProcess));
}

TEST_F(DispatcherTest, ACancelledFindSendsNoMoreMatches) {
  archive_.AddNode(kCaller, kCallerIp);
  ScriptedRequest& request = Run("C-FIND", "STUDY");
  request.cancelled_flag = true;
  Dispatch();
  EXPECT_THAT(request.pending, IsEmpty());
  EXPECT_EQ(request.finals.size(), 1u);
}

TEST_F(DispatcherTest, TheFailurePathLogsTheRequestAndAnswersC000) {
  archive_.AddNode(kCaller, kCallerIp);
  // No Query/Retrieve Level at all.
  ScriptedRequest& request = Run("C-FIND", nullptr);
  Dispatch();
  EXPECT_THAT(request.finals, ElementsAre(kStatusUnableToProcess));
  EXPECT_THAT(NewErrors(),
              HasSubstr("\t94\tInvalid use of Null QueryRequest Port: 4711 "
                        "Operation: C-FIND Destination:  Host:\tQueryRequest"));

  // A failure inside a level query ends the same way.
  services_.throw_number = kOverflow;
  ScriptedRequest& overflow = Run("C-FIND", "IMAGE");
  Dispatch();
  EXPECT_THAT(overflow.finals, ElementsAre(kStatusUnableToProcess));
  EXPECT_THAT(NewErrors(), HasSubstr("\t6\tscripted failure QueryRequest Port: "
                                     "4711 Operation: C-FIND Level: IMAGE"));
}

TEST_F(DispatcherTest, TheToolkitsFatalFailureEndsTheService) {
  archive_.AddNode(kCaller, kCallerIp);
  services_.throw_number = kFatalToolkitFailure;
  ScriptedRequest& request = Run("C-FIND", "PATIENT");
  Dispatch();
  EXPECT_TRUE(services_.ended_service);
  EXPECT_THAT(request.finals, IsEmpty());
  EXPECT_THAT(NewErrors(), HasSubstr("\t61706\t"));
}

TEST_F(DispatcherTest, NobodyIsLetInWhenTheNodeLookupFails) {
  archive_.AddNode(kCaller, kCallerIp);
  archive_.Exec("DROP TABLE tblDicomAETs");
  ScriptedRequest& request = Run("C-FIND", "STUDY");
  Dispatch();
  EXPECT_THAT(services_.calls, IsEmpty());
  EXPECT_THAT(request.pending, IsEmpty());
  EXPECT_THAT(request.finals, ElementsAre(kStatusUnableToProcess));
  EXPECT_THAT(NewErrors(), HasSubstr("\tGetAET\r\n"));
}

TEST_F(DispatcherTest, ADatabaseThatCannotBeOpenedIsLoggedOnce) {
  config_.DBServer = "sqlite:" + archive_.dir() + "/missing/archive.db";
  ScriptedRequest& request = Run("C-FIND", "STUDY");
  Dispatch();
  EXPECT_THAT(services_.calls, IsEmpty());
  EXPECT_THAT(request.pending, IsEmpty());
  EXPECT_THAT(request.finals, ElementsAre(kStatusUnableToProcess));
  const std::string errors = NewErrors();
  EXPECT_THAT(errors, HasSubstr("\tConOpen\r\n"));
  EXPECT_THAT(errors, Not(HasSubstr("GetAET")));
  EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
}

TEST_F(DispatcherTest, CGetStatusesFollowWhatWasSent) {
  archive_.AddNode(kCaller, kCallerIp);
  services_.cget_files = {"/a.dcm", "/b.dcm"};

  ScriptedRequest& all = Run("C-GET", "STUDY");
  all.files_result.completed = 2;
  Dispatch();
  EXPECT_THAT(all.sent_files, ElementsAre("/a.dcm", "/b.dcm"));
  EXPECT_THAT(all.finals, ElementsAre(kStatusSuccess));

  ScriptedRequest& some = Run("C-GET", "STUDY");
  some.files_result = {1, 1, 0};
  Dispatch();
  EXPECT_THAT(some.finals, ElementsAre(kStatusSubOperationsFailed));

  services_.cget_ok = false;
  ScriptedRequest& none = Run("C-GET", "STUDY");
  Dispatch();
  EXPECT_THAT(none.sent_files, IsEmpty());
  EXPECT_THAT(none.finals, ElementsAre(kStatusUnableToProcess));
}

TEST_F(DispatcherTest, CMoveFindsItsDestinationAndReportsTheSender) {
  archive_.AddNode(kCaller, kCallerIp);
  ScriptedRequest& unknown = Run("C-MOVE", "STUDY");
  unknown.destination = "NOWHERE";
  Dispatch();
  EXPECT_THAT(unknown.finals, ElementsAre(kStatusMoveDestinationUnknown));
  EXPECT_THAT(NewErrors(), HasSubstr("NOWHERE Unknown move destination"));

  archive_.AddNode("STORE", "10.0.0.9", false, false, false, 11112, "STORESCU");
  ScriptedRequest& failed = Run("C-MOVE", "STUDY");
  failed.destination = "STORE";
  Dispatch();  // no job: the hand-off failed
  EXPECT_THAT(services_.calls, ElementsAre("MOVE 10.0.0.9:11112 STORESCU"));
  EXPECT_THAT(failed.finals, ElementsAre(kStatusUnableToProcess));

  MoveProgress report;
  report.reported = true;
  report.counts = {3, 1, 0};
  services_.move_job = std::make_unique<EndedJob>(report);
  ScriptedRequest& partly = Run("C-MOVE", "STUDY");
  partly.destination = "STORE";
  Dispatch();
  EXPECT_THAT(partly.finals, ElementsAre(kStatusSubOperationsFailed));
  EXPECT_EQ(partly.final_counts.completed, 3);
  EXPECT_EQ(partly.final_counts.failed, 1);
}

// The audit trail as the dispatcher fills it.
class RecordingSink : public AuditSink {
 public:
  void Record(AuditRecord record) noexcept override {
    records.push_back(std::move(record));
  }
  std::vector<AuditRecord> records;
};

TEST_F(DispatcherTest, QueriesRetrievalsAndRefusalsGoIntoTheAuditTrail) {
  RecordingSink sink;
  services_.audit = &sink;
  // An unknown caller: an alert, nothing else.
  Run("C-FIND", "STUDY");
  Dispatch();
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].event, AuditEvent::kSecurityAlert);
  EXPECT_EQ(sink.records[0].alert, AuditAlert::kNodeAuthentication);
  EXPECT_EQ(sink.records[0].remote_aet, kCaller);
  EXPECT_EQ(sink.records[0].remote_address, kCallerIp);
  EXPECT_EQ(sink.records[0].alert_text,
            "Unauthorized C-FIND from VIEWER/127.0.0.1");

  // A query: its identifier as it was encoded; a failed one says so.
  archive_.AddNode(kCaller, kCallerIp);
  sink.records.clear();
  Run("C-FIND", "STUDY");
  Dispatch();
  ASSERT_EQ(sink.records.size(), 1u);
  const AuditRecord& query = sink.records[0];
  EXPECT_EQ(query.event, AuditEvent::kQuery);
  EXPECT_EQ(query.outcome, AuditOutcome::kSuccess);
  EXPECT_THAT(query.query_bytes, HasSubstr("STUDY"));
  EXPECT_THAT(query.query_bytes, HasSubstr("P1"));
  // Explicit VR: the level's tag, then "CS".
  EXPECT_THAT(query.query_bytes,
              HasSubstr(std::string("\x08\x00\x52\x00" "CS", 6)));
  EXPECT_TRUE(query.studies.empty());
  services_.result.reset();
  sink.records.clear();
  Run("C-FIND", "STUDY");
  Dispatch();
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].outcome, AuditOutcome::kSeriousFailure);

  // A C-GET: its begin, then its transfer with what arrived.
  services_.cget_files = {"/a.dcm", "/b.dcm"};
  sink.records.clear();
  request_ = std::make_unique<ScriptedRequest>("C-GET", [] {
    Dataset d = Identifier("STUDY");
    d.Put(0x0020, 0x000D, Value("1.2.3\\1.2.4"));
    d.Put(0x0010, 0x0010, Value("Doe^Jane"));
    return d;
  }());
  request_->files_result = {1, 1, 0};
  Dispatch();
  ASSERT_EQ(sink.records.size(), 2u);
  EXPECT_EQ(sink.records[0].event, AuditEvent::kBeginTransfer);
  EXPECT_EQ(sink.records[1].event, AuditEvent::kInstancesTransferred);
  EXPECT_EQ(sink.records[1].action, 'R');
  EXPECT_EQ(sink.records[1].outcome, AuditOutcome::kMinorFailure);
  EXPECT_EQ(sink.records[1].patient_id, "P1");
  EXPECT_EQ(sink.records[1].patient_name, "Doe^Jane");
  ASSERT_EQ(sink.records[1].studies.size(), 2u);
  EXPECT_EQ(sink.records[1].studies[0].study_uid, "1.2.3");
  EXPECT_EQ(sink.records[1].studies[1].study_uid, "1.2.4");
  EXPECT_TRUE(sink.records[1].destination_aet.empty());

  // A C-MOVE whose hand-off failed transferred nothing; one that went
  // names its destination.
  archive_.AddNode("STORE", "10.0.0.9", false, false, false, 11112, "STORESCU");
  sink.records.clear();
  Run("C-MOVE", "STUDY").destination = "STORE";
  Dispatch();
  EXPECT_TRUE(sink.records.empty());
  MoveProgress report;
  report.reported = true;
  report.counts = {3, 0, 0};
  services_.move_job = std::make_unique<EndedJob>(report);
  Run("C-MOVE", "STUDY").destination = "STORE";
  Dispatch();
  ASSERT_EQ(sink.records.size(), 2u);
  EXPECT_EQ(sink.records[0].event, AuditEvent::kBeginTransfer);
  EXPECT_EQ(sink.records[0].destination_aet, "STORE");
  EXPECT_EQ(sink.records[0].destination_address, "10.0.0.9");
  EXPECT_EQ(sink.records[1].event, AuditEvent::kInstancesTransferred);
  EXPECT_EQ(sink.records[1].outcome, AuditOutcome::kSuccess);
  EXPECT_EQ(sink.records[1].remote_aet, kCaller);
}

TEST_F(DispatcherTest, ACancelledMoveStopsTheSender) {
  archive_.AddNode(kCaller, kCallerIp);
  archive_.AddNode("STORE", "10.0.0.9");
  MoveProgress report;
  report.reported = true;
  report.counts = {1, 0, 0};
  report.remaining = 4;
  bool stopped = false;
  services_.move_job =
      std::make_unique<EndedJob>(report, /*ended=*/false, &stopped);
  ScriptedRequest& request = Run("C-MOVE", "STUDY");
  request.destination = "STORE";
  request.cancelled_flag = true;
  Dispatch();
  // Cancelled before the hand-off: no sender was started at all.
  EXPECT_THAT(services_.calls, IsEmpty());
  EXPECT_THAT(request.finals, IsEmpty());
  ASSERT_NE(services_.move_job, nullptr);

  // Cancelled while the sender works: stopped, answered FE00 with counts.
  struct CancelOnFirstLook : ScriptedRequest {
    using ScriptedRequest::ScriptedRequest;
    mutable int looks = 0;
    bool cancelled() const override { return ++looks > 1; }
    bool finished() const override { return looks > 1; }
  };
  request_ = std::make_unique<CancelOnFirstLook>("C-MOVE", Identifier("STUDY"));
  request_->destination = "STORE";
  Dispatch();
  EXPECT_TRUE(stopped);
  EXPECT_THAT(request_->finals, ElementsAre(kStatusCancel));
  EXPECT_EQ(request_->final_counts.completed, 1);
}

}  // namespace
}  // namespace vantor::dicom
