#include "retrieve/commitment_report_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/log.h"
#include "tests/support/scripted_report_sender.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

using ScriptedSender = ScriptedReportSender;

class CommitmentReportQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove(ErrorLogPath());
    destination_.address = "127.0.0.1";
    destination_.port = 11113;
    destination_.called_aet = "MODALITY";
    report_.transaction_uid = "1.2.826.0.1.88";
  }

  static std::string ErrorLogPath() {
    return TestProgramDir() + "/Logs/ErrorVantor107.log";
  }
  // Waits (at most 5 s) until the queue holds nothing.
  static bool Drained(CommitmentReportQueue& queue) {
    for (int i = 0; i < 500; ++i) {
      if (queue.Waiting() == 0) return true;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  // The log of the requests the reports answer.
  const Log log_{107, /*debug=*/true, /*any_debug=*/true};
  dicom::ReportDestination destination_;
  dicom::CommitmentReport report_;
};

TEST_F(CommitmentReportQueueTest, RetriedWithGrowingPausesUntilDelivered) {
  ScriptedSender sender(3);
  CommitmentReportQueue queue(
      sender.AsSender(),
      {milliseconds(40), milliseconds(1000), milliseconds(5000)});
  queue.Add(log_, destination_, report_);
  ASSERT_TRUE(Drained(queue));
  const std::vector<Clock::time_point> t = sender.times();
  ASSERT_EQ(t.size(), 4u);
  // 40, 80, 160 ms apart.
  EXPECT_GE(t[1] - t[0], milliseconds(40));
  EXPECT_GE(t[2] - t[1], milliseconds(80));
  EXPECT_GE(t[3] - t[2], milliseconds(160));
  EXPECT_EQ(ReadWholeFile(ErrorLogPath()), "");
}

TEST_F(CommitmentReportQueueTest, GivenUpAfterItsTimeWithAnErrorLine) {
  ScriptedSender sender(1000);
  CommitmentReportQueue queue(
      sender.AsSender(),
      {milliseconds(20), milliseconds(40), milliseconds(300)});
  queue.Add(log_, destination_, report_);
  ASSERT_TRUE(Drained(queue));
  const size_t attempts = sender.times().size();
  EXPECT_GE(attempts, 4u);
  EXPECT_LE(attempts, 16u);
  EXPECT_THAT(ReadWholeFile(ErrorLogPath()),
              HasSubstr("Storage commitment report 1.2.826.0.1.88 for MODALITY "
                        "(127.0.0.1:11113) not delivered after " +
                        std::to_string(attempts) +
                        " attempt(s): connection refused\tCommitmentReports"));
}

TEST_F(CommitmentReportQueueTest, ShutdownStopsRetriesAndLogsWhatIsLeft) {
  ScriptedSender sender(1000);
  CommitmentReportQueue queue(
      sender.AsSender(),
      {milliseconds(60000), milliseconds(60000), milliseconds(300000)});
  queue.Add(log_, destination_, report_);
  for (int i = 0; i < 500 && sender.times().empty(); ++i)
    std::this_thread::sleep_for(milliseconds(10));
  const auto start = Clock::now();
  queue.Shutdown();
  // The minute's pause is not waited out.
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  EXPECT_EQ(sender.times().size(), 1u);
  EXPECT_THAT(ReadWholeFile(ErrorLogPath()),
              HasSubstr("not delivered after 1 attempt(s): the service "
                        "stopped (connection refused)"));
  // A report handed over afterwards is not sent, only logged.
  report_.transaction_uid = "1.2.826.0.1.89";
  queue.Add(log_, destination_, report_);
  EXPECT_EQ(sender.times().size(), 1u);
  EXPECT_THAT(ReadWholeFile(ErrorLogPath()),
              HasSubstr("report 1.2.826.0.1.89 for MODALITY (127.0.0.1:11113) "
                        "not delivered after 0 attempt(s): the service is "
                        "stopping"));
}

}  // namespace
}  // namespace vantor
