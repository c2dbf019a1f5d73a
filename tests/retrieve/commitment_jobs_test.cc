// Storage Commitment reports in the archive's queue: what a row carries
// comes back whole, the retry schedule is the memory queue's, and on a real
// PostgreSQL a report queued by one front is delivered by another's worker,
// retried after its pause, or given up with its error line.
#include "retrieve/commitment_jobs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "jobs/job_store.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/scripted_report_sender.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

CommitmentJob SampleJob() {
  CommitmentJob job;
  job.destination.address = "127.0.0.1";
  job.destination.port = 11114;
  job.destination.called_aet = "MOD \"A\"\\1";
  job.destination.calling_aet = "VANTOR";
  job.destination.timeout_seconds = 7;
  job.destination.tls = true;
  job.report.transaction_uid = "1.2.826.0.1.77";
  job.report.retrieve_aet = "VANTOR";
  job.report.outcome.committed = {{"1.2.840.10008.5.1.4.1.1.2", "1.2.3.1"},
                                  {"1.2.840.10008.5.1.4.1.1.2", "1.2.3.2"}};
  dicom::CommitmentFailure failure;
  failure.reference = {"1.2.840.10008.5.1.4.1.1.4", "1.2.3.3"};
  failure.reason = 0x0112;
  job.report.outcome.failed = {failure};
  return job;
}

TEST(CommitmentJobPayloadTest, ComesBackWholeAndRefusesWhatIsNotOne) {
  const CommitmentJob job = SampleJob();
  std::optional<CommitmentJob> back =
      ParseCommitmentJob(CommitmentJobPayload(job));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->destination.address, "127.0.0.1");
  EXPECT_EQ(back->destination.port, 11114);
  EXPECT_EQ(back->destination.called_aet, "MOD \"A\"\\1");
  EXPECT_EQ(back->destination.calling_aet, "VANTOR");
  EXPECT_EQ(back->destination.timeout_seconds, 7);
  EXPECT_TRUE(back->destination.tls);
  EXPECT_EQ(back->report.transaction_uid, "1.2.826.0.1.77");
  EXPECT_EQ(back->report.retrieve_aet, "VANTOR");
  ASSERT_EQ(back->report.outcome.committed.size(), 2u);
  EXPECT_EQ(back->report.outcome.committed[1].sop_instance, "1.2.3.2");
  ASSERT_EQ(back->report.outcome.failed.size(), 1u);
  EXPECT_EQ(back->report.outcome.failed[0].reference.sop_class,
            "1.2.840.10008.5.1.4.1.1.4");
  EXPECT_EQ(back->report.outcome.failed[0].reason, 0x0112);

  for (const char* bad :
       {"", "not json", "[]", "{}", "{\"transaction\": 5}",
        R"({"transaction":"1.2","retrieveAet":"","address":"h","port":0,)"
        R"("calledAet":"A","callingAet":"B","timeout":10,"tls":false,)"
        R"("committed":[],"failed":[]})",
        R"({"transaction":"1.2","retrieveAet":"","address":"h","port":104,)"
        R"("calledAet":"A","callingAet":"B","timeout":10,"tls":false,)"
        R"("committed":[["only one"]],"failed":[]})"})
    EXPECT_FALSE(ParseCommitmentJob(bad).has_value()) << bad;
}

TEST(CommitmentJobScheduleTest, DoublesToTheLongestAndGivesUpLikeTheMemoryQueue) {
  const ReportRetryTiming timing{milliseconds(1000), milliseconds(60000),
                                 milliseconds(300000)};
  EXPECT_EQ(WaitAfterAttempts(timing, 1), milliseconds(1000));
  EXPECT_EQ(WaitAfterAttempts(timing, 3), milliseconds(4000));
  EXPECT_EQ(WaitAfterAttempts(timing, 7), milliseconds(60000));
  EXPECT_EQ(WaitAfterAttempts(timing, 40), milliseconds(60000));
  // 1+2+4+8+16+32+60+60+60 = 243 s after nine attempts; the tenth pause
  // would end at 303 s, past the five minutes.
  EXPECT_FALSE(GiveUpAfterAttempts(timing, 9));
  EXPECT_TRUE(GiveUpAfterAttempts(timing, 10));
}

using ScriptedSender = ScriptedReportSender;

class CommitmentJobWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    auto config = std::make_shared<Config>(*Settings());
    config->DBServer = archive_.DBServer();
    config->JobQueue = "database";
    config_ = config;
    fs::remove(ErrorLogPath());
    db_.Open(ConnectionText(archive_.DBServer()));
  }

  std::string ErrorLogPath() const {
    return TestProgramDir() + "/Logs/ErrorVantor" +
           std::to_string(config_->DCM) + ".log";
  }

  CommitmentJobWorker::SettingsSource Source() {
    return [this] { return config_; };
  }

  QueuedJob Row(int64_t id) {
    JobStore store(db_, JobKind::kCommitment);
    return store.Get(id).value_or(QueuedJob{});
  }

  // Waits (bounded) until the row has ended.
  QueuedJob Ended(int64_t id) {
    for (int i = 0; i < 200; ++i) {
      QueuedJob row = Row(id);
      if (row.state == "done" || row.state == "failed") return row;
      std::this_thread::sleep_for(milliseconds(100));
    }
    return Row(id);
  }

  FixtureArchive archive_{ArchiveBackend::kPostgres};
  std::shared_ptr<const Config> config_;
  Database db_;
};

TEST_F(CommitmentJobWorkerTest, AnotherFrontDeliversAfterThePause) {
  // Front A queues the report and stops; front B's worker sends it.
  const int64_t id = QueueCommitmentReport(db_, SampleJob());
  ScriptedSender sender(1);
  CommitmentJobWorker b(Source(), sender.AsSender(), ReportRetryTiming(),
                        "front-b");
  b.Start();
  const QueuedJob row = Ended(id);
  b.Stop();
  EXPECT_EQ(row.state, "done");
  EXPECT_EQ(row.owner, "front-b");
  EXPECT_EQ(row.attempts, 2);
  const std::vector<Clock::time_point> t = sender.times();
  ASSERT_EQ(t.size(), 2u);
  // The second attempt waited out the first pause (a second's lease).
  EXPECT_GE(t[1] - t[0], milliseconds(900));
  EXPECT_EQ(ReadWholeFile(ErrorLogPath()), "");
}

TEST_F(CommitmentJobWorkerTest, GivenUpWithItsErrorLineAndTheRowFailed) {
  const int64_t id = QueueCommitmentReport(db_, SampleJob());
  ScriptedSender sender(1000);
  CommitmentJobWorker b(
      Source(), sender.AsSender(),
      {milliseconds(1000), milliseconds(1000), milliseconds(1500)}, "front-b");
  b.Start();
  const QueuedJob row = Ended(id);
  b.Stop();
  EXPECT_EQ(row.state, "failed");
  EXPECT_EQ(row.progress, "connection refused");
  EXPECT_EQ(sender.times().size(), 2u);
  EXPECT_THAT(ReadWholeFile(ErrorLogPath()),
              HasSubstr("Storage commitment report 1.2.826.0.1.77 for "
                        "MOD \"A\"\\1 (127.0.0.1:11114) not delivered after 2 "
                        "attempt(s): connection refused"));
}

TEST_F(CommitmentJobWorkerTest, AnUnreadableRowIsEndedAsFailed) {
  JobStore store(db_, JobKind::kCommitment);
  const int64_t id = store.Add("{not a report");
  ScriptedSender sender(0);
  CommitmentJobWorker b(Source(), sender.AsSender(), ReportRetryTiming(),
                        "front-b");
  b.Start();
  const QueuedJob row = Ended(id);
  b.Stop();
  EXPECT_EQ(row.state, "failed");
  EXPECT_TRUE(sender.times().empty());
  EXPECT_THAT(ReadWholeFile(ErrorLogPath()), HasSubstr("cannot be read"));
}

}  // namespace
}  // namespace vantor
