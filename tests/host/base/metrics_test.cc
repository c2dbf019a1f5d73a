// The counters as the page shows them: labels per outcome, command and
// status, histograms per command, gauges read when the page is made.
#include "host/base/metrics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vantor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(MetricsTest, CountsByLabelAndReadsGaugesWhenThePageIsMade) {
  Metrics metrics;
  metrics.AssociationAnswered("accepted");
  metrics.AssociationAnswered("accepted");
  metrics.AssociationAnswered("address");
  metrics.AssociationClosed();
  metrics.CommandAnswered("C-STORE", 0x0000, 0.003, 1000, 0);
  metrics.CommandAnswered("C-STORE", 0xA700, 0.2, 500, 0);
  metrics.CommandAnswered("C-GET", 0x0000, 1.5, 0, 7);
  double retries = 3;
  metrics.AddReadCounter("vantor_db_total", "Statements", "outcome", "run",
                         [] { return 10.0; });
  metrics.AddReadCounter("vantor_db_total", "Statements", "outcome", "retried",
                         [&] { return retries; });
  double queue = 4;
  metrics.AddGauge("vantor_test_queue", "A queue", [&] { return queue; });

  std::string page = metrics.Page();
  EXPECT_THAT(page, HasSubstr("vantor_associations_total{outcome=\"accepted\"} 2"));
  EXPECT_THAT(page, HasSubstr("vantor_associations_total{outcome=\"address\"} 1"));
  // Only accepted associations are open; a refused one never was.
  EXPECT_THAT(page, HasSubstr("vantor_associations_open 1"));
  // The status as the logs write it, in capitals.
  EXPECT_THAT(page, HasSubstr("vantor_dimse_requests_total{command=\"C-STORE\",status=\"A700\"} 1"));
  EXPECT_THAT(page, HasSubstr("vantor_dimse_duration_seconds_count{command=\"C-STORE\"} 2"));
  EXPECT_THAT(page, HasSubstr("vantor_dimse_duration_seconds_bucket{command=\"C-STORE\",le=\"0.005\"} 1"));
  // A refused image's bytes arrived, but the image was not stored.
  EXPECT_THAT(page, HasSubstr("vantor_received_bytes_total 1500"));
  EXPECT_THAT(page, HasSubstr("vantor_images_received_total 1"));
  EXPECT_THAT(page, HasSubstr("vantor_images_sent_total{command=\"C-GET\"} 7"));
  // Counters kept elsewhere: one family, a sample per label, read now.
  EXPECT_THAT(page, HasSubstr("# TYPE vantor_db_total counter"));
  EXPECT_THAT(page, HasSubstr("vantor_db_total{outcome=\"run\"} 10"));
  EXPECT_THAT(page, HasSubstr("vantor_db_total{outcome=\"retried\"} 3"));
  EXPECT_THAT(page, HasSubstr("vantor_test_queue 4"));
  queue = 9;
  retries = 4;
  page = metrics.Page();
  EXPECT_THAT(page, HasSubstr("vantor_test_queue 9"));
  EXPECT_THAT(page, HasSubstr("vantor_db_total{outcome=\"retried\"} 4"));
  EXPECT_EQ(page.find("# TYPE vantor_db_total"),
            page.rfind("# TYPE vantor_db_total"));
}

TEST(MetricsTest, CountsFromManyThreadsAddUp) {
  Metrics metrics;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        metrics.AssociationAnswered("accepted");
        metrics.CommandAnswered("C-FIND", 0, 0.001, 0, 0);
        metrics.AssociationClosed();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::string page = metrics.Page();
  EXPECT_THAT(page, HasSubstr("vantor_associations_total{outcome=\"accepted\"} 8000"));
  EXPECT_THAT(page, HasSubstr("vantor_dimse_requests_total{command=\"C-FIND\",status=\"0000\"} 8000"));
  EXPECT_THAT(page, HasSubstr("vantor_associations_open 0"));
  EXPECT_THAT(page, Not(HasSubstr("nan")));
}

}  // namespace
}  // namespace vantor
