// The front alone: scripted services and a counting snapshot source, so
// that what each event is handed (the one snapshot and its log) is seen.
#include "dicom/front.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/base/config.h"
#include "host/base/log.h"
#include "tests/support/fake_received_image.h"
#include "tests/support/test_env.h"

namespace vantor::dicom {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int32_t kPort = 40211;

std::string LogFile(const std::string& name) {
  return TestProgramDir() + "/Logs/" + name;
}

// A C-FIND that notes its final statuses.
class FindRequest : public Request {
 public:
  FindRequest() {
    connection_.calling_aet = "VIEWER";
    connection_.remote_ip = "127.0.0.1";
    identifier_.Put(0x0008, 0x0052, Value("STUDY"));
  }
  const Connection& connection() const override { return connection_; }
  std::string operation() const override { return "C-FIND"; }
  const Dataset& identifier() const override { return identifier_; }
  std::string move_destination() const override { return ""; }
  bool finished() const override { return false; }
  bool cancelled() const override { return false; }
  void SendPending(const Dataset&, uint16_t) override {}
  void SendFinal(uint16_t status) override { finals.push_back(status); }
  void SendMoveProgress(const SubOperations&, int) override {}
  void SendMoveFinal(uint16_t, const SubOperations&, int,
                     const std::string&) override {}
  SubOperations SendFiles(const std::vector<std::string>&) override {
    return {};
  }

  std::vector<uint16_t> finals;

 private:
  Connection connection_;
  Dataset identifier_;
};

class FrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.DCM = kPort;
    config_.Debug = true;
    for (const char* kind : {"ErrorVantor", "DebugVantor", "Action", "Message"})
      fs::remove(LogFile(kind + std::to_string(kPort) + ".log"));
    fs::remove(LogFile("Action" + std::to_string(kPort + 2) + ".log"));
  }

  // Each service notes the port and debug switch of the log it was handed
  // and whether its snapshot is the one taken for the event.
  void Note(const std::string& what, const Config& config, const Log& log) {
    seen.push_back(what + " " + std::to_string(log.port()) +
                   (log.debug() ? " debug" : "") +
                   (&config == taken_.get() ? "" : " other snapshot"));
  }

  Front MakeFront() {
    FrontServices table;
    table.AssociationCheck = [this](const Config& c, const Log& log,
                                    const Connection&, bool& is_ok) {
      Note("association", c, log);
      is_ok = false;
    };
    table.ReceiveImage = [this](const Config& c, const Log& log,
                                const Connection&, ReceivedImage&) {
      Note("image", c, log);
      return kStatusOutOfResources;
    };
    table.EventReport = [this](const Config& c, const Log& log,
                               const Connection&, uint16_t, const Dataset&,
                               uint16_t& status) {
      Note("event report", c, log);
      status = kStatusNotAuthorized;
    };
    table.CommitmentRequested = [this](const Config& c, const Log& log,
                                       const Connection&,
                                       const CommitmentRequest&) {
      Note("commitment requested", c, log);
      CommitmentAcceptance acceptance;
      acceptance.status = commitment_status_;
      return acceptance;
    };
    table.CommitmentDecide = [this](const Config& c, const Log& log,
                                    const CommitmentRequest&) {
      Note("commitment decide", c, log);
      return CommitmentOutcome{};
    };
    table.CommitmentReportUndelivered = [this](const Log& log,
                                               const ReportDestination&,
                                               const CommitmentReport&) {
      seen.push_back("undelivered " + std::to_string(log.port()));
    };
    table.audit = audit_;
    return Front(std::move(table), [this] {
      ++snapshots;
      taken_ = std::make_shared<const Config>(config_);
      return taken_;
    });
  }

  Config config_;
  int snapshots = 0;
  std::vector<std::string> seen;
  AuditSink* audit_ = nullptr;
  uint16_t commitment_status_ = CommitmentAcceptance().status;

 private:
  std::shared_ptr<const Config> taken_;
};

TEST_F(FrontTest, EachEventTakesOneSnapshotAndHandsItWithItsLog) {
  Front front = MakeFront();
  Connection connection;
  bool is_ok = true;
  front.AssociationRequest2(connection, is_ok);
  EXPECT_FALSE(is_ok);
  FakeReceivedImage image;
  EXPECT_EQ(front.ImageReceivedAsync(connection, image), kStatusOutOfResources);
  uint16_t status = kStatusSuccess;
  front.EventReport(connection, 10, Dataset(), status);
  EXPECT_EQ(status, kStatusNotAuthorized);
  front.CommitmentRequested(connection, CommitmentRequest());
  // A snapshot published meanwhile is the next event's.
  config_.DCM = kPort + 1;
  config_.Debug = false;
  front.CommitmentDecide(CommitmentRequest());
  front.CommitmentReportUndelivered(ReportDestination(), CommitmentReport());
  EXPECT_EQ(snapshots, 6);
  const std::string port = std::to_string(kPort);
  const std::string next = std::to_string(kPort + 1);
  EXPECT_THAT(
      seen,
      ElementsAre("association " + port + " debug", "image " + port + " debug",
                  "event report " + port + " debug",
                  "commitment requested " + port + " debug",
                  "commitment decide " + next, "undelivered " + next));
}

class RecordingSink : public AuditSink {
 public:
  void Record(AuditRecord record) noexcept override {
    records.push_back(std::move(record));
  }
  std::vector<AuditRecord> records;
};

TEST_F(FrontTest, RefusedCallersAndUnreadableInputRaiseAlerts) {
  RecordingSink sink;
  audit_ = &sink;
  Front front = MakeFront();
  Connection connection;
  connection.calling_aet = "HOLDER  ";
  connection.remote_ip = "10.0.0.5";
  // The node check says no.
  bool is_ok = true;
  front.AssociationRequest2(connection, is_ok);
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].event, AuditEvent::kSecurityAlert);
  EXPECT_EQ(sink.records[0].alert, AuditAlert::kNodeAuthentication);
  EXPECT_EQ(sink.records[0].remote_aet, "HOLDER");
  EXPECT_EQ(sink.records[0].remote_address, "10.0.0.5");
  EXPECT_EQ(sink.records[0].alert_text,
            "Association from HOLDER/10.0.0.5 rejected");
  // A commitment request the caller may not make; one that failed
  // otherwise is no alert.
  front.CommitmentRequested(connection, CommitmentRequest());
  EXPECT_EQ(sink.records.size(), 1u);
  commitment_status_ = kStatusNotAuthorized;
  front.CommitmentRequested(connection, CommitmentRequest());
  ASSERT_EQ(sink.records.size(), 2u);
  EXPECT_EQ(sink.records[1].alert, AuditAlert::kRestrictedFunction);
  EXPECT_THAT(sink.records[1].alert_text,
              HasSubstr("Unauthorized storage commitment request from HOLDER"));
  // What the server refused on its own.
  front.CallerRefused(connection, false, "over its bound");
  front.CallerRefused(connection, true, "could not be read");
  ASSERT_EQ(sink.records.size(), 4u);
  EXPECT_EQ(sink.records[2].alert, AuditAlert::kNodeAuthentication);
  EXPECT_EQ(sink.records[2].outcome, AuditOutcome::kMinorFailure);
  EXPECT_EQ(sink.records[3].alert, AuditAlert::kBadInput);
  EXPECT_EQ(sink.records[3].outcome, AuditOutcome::kSeriousFailure);
  EXPECT_EQ(sink.records[3].alert_text, "could not be read");
}

TEST_F(FrontTest, CommitmentIsServedAsTheSnapshotSays) {
  Front front = MakeFront();
  EXPECT_FALSE(front.CommitmentEnabled());
  config_.StorageCommitment = true;
  EXPECT_TRUE(front.CommitmentEnabled());
}

TEST_F(FrontTest, TheSmallEventsWriteIntoTheSnapshotsLogs) {
  Front front = MakeFront();
  int32_t status = 2;
  front.VerifyReceived(status);
  EXPECT_EQ(status, 0);
  EXPECT_THAT(
      ReadWholeFile(LogFile("DebugVantor" + std::to_string(kPort) + ".log")),
      HasSubstr("\tVerify received\tVerifyReceived\r\n"));
  Connection connection;
  connection.number = 7;
  front.ActionComplete(connection, "Release", true, "");
  front.InfoMessage(3, "Listening");
  EXPECT_THAT(ReadWholeFile(LogFile("Action" + std::to_string(kPort) + ".log")),
              HasSubstr("\tRelease\t7\t\r\n"));
  EXPECT_THAT(
      ReadWholeFile(LogFile("Message" + std::to_string(kPort) + ".log")),
      HasSubstr("\t3\tListening\r\n"));
  // Without a debug switch the event logs stay unwritten.
  config_.DCM = kPort + 2;
  config_.Debug = false;
  front.ActionComplete(connection, "Release", true, "");
  EXPECT_FALSE(
      fs::exists(LogFile("Action" + std::to_string(kPort + 2) + ".log")));
}

TEST_F(FrontTest, ARequestsLinesFollowItsSnapshot) {
  config_.DBServer = "sqlite:/nonexistent-vantor-dir/archive.db";
  Front front = MakeFront();
  FindRequest request;
  front.QueryRequest(request);
  EXPECT_EQ(snapshots, 1);
  EXPECT_THAT(request.finals, ElementsAre(kStatusUnableToProcess));
  // The failed connection is logged under the snapshot's port, whatever
  // the process-wide settings say.
  EXPECT_THAT(
      ReadWholeFile(LogFile("ErrorVantor" + std::to_string(kPort) + ".log")),
      HasSubstr("\tConOpen\r\n"));
}

}  // namespace
}  // namespace vantor::dicom
