// The audit trail's queue and worker: a full queue drops and counts
// instead of blocking, failed deliveries are tried again in order, the
// switch, the bounded shutdown; and the UDP transport on loopback.
#include "audit/audit_trail.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/metrics.h"
#include "tests/support/audit_xml.h"
#include "tests/support/udp_receiver.h"

namespace vantor::audit {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// What the fake transport was given, and how it behaves.
struct Deliveries {
  std::mutex mu;
  std::condition_variable changed;
  bool held = false;       // Send waits while set
  bool in_send = false;    // a Send is waiting
  int failures_left = 0;   // the next sends that fail
  bool always_fail = false;
  std::vector<std::string> delivered;  // the records' alert texts
  int attempts = 0;
};

class FakeTransport : public Transport {
 public:
  explicit FakeTransport(std::shared_ptr<Deliveries> d) : d_(std::move(d)) {}
  bool Send(const AuditRecord& record, const AuditSource& source,
            std::string& why) override {
    EXPECT_EQ(source.aet, "OWN_AET");
    std::unique_lock<std::mutex> lock(d_->mu);
    ++d_->attempts;
    d_->in_send = true;
    d_->changed.notify_all();
    d_->changed.wait(lock, [&] { return !d_->held; });
    d_->in_send = false;
    if (d_->always_fail || d_->failures_left > 0) {
      if (d_->failures_left > 0) --d_->failures_left;
      why = "the collector is away";
      return false;
    }
    d_->delivered.push_back(record.alert_text);
    return true;
  }

 private:
  std::shared_ptr<Deliveries> d_;
};

struct Fixture {
  explicit Fixture(size_t capacity = 10000,
                   std::chrono::milliseconds drain = std::chrono::seconds(2)) {
    Config c;
    c.OwnAET = "OWN_AET";
    c.Caption = "Vantor 01";
    config = std::make_shared<const Config>(c);
    AuditTrail::Options options;
    options.capacity = capacity;
    options.drain_bound = drain;
    options.first_pause = std::chrono::milliseconds(1);
    options.longest_pause = std::chrono::milliseconds(4);
    options.transport = [d = deliveries](const Config&) {
      return std::make_unique<FakeTransport>(d);
    };
    trail = std::make_unique<AuditTrail>([this] { return config; }, &metrics,
                                         options);
  }

  AuditRecord Numbered(int n) {
    AuditRecord r;
    r.event = AuditEvent::kSecurityAlert;
    r.alert_text = std::to_string(n);
    return r;
  }

  std::shared_ptr<Deliveries> deliveries = std::make_shared<Deliveries>();
  std::shared_ptr<const Config> config;
  Metrics metrics;
  std::unique_ptr<AuditTrail> trail;
};

TEST(AuditTrailTest, FullQueueDropsAndCountsWithoutBlocking) {
  Fixture f(4);
  {
    std::lock_guard<std::mutex> lock(f.deliveries->mu);
    f.deliveries->held = true;
  }
  f.trail->Start();
  // The collector hangs on the first message; the producers go on.
  for (int i = 0; i < 10; ++i) f.trail->Record(f.Numbered(i));
  {
    std::unique_lock<std::mutex> lock(f.deliveries->mu);
    f.deliveries->changed.wait(lock, [&] { return f.deliveries->in_send; });
  }
  EXPECT_EQ(f.trail->waiting(), 4u);
  EXPECT_EQ(f.trail->dropped(), 6u);
  EXPECT_THAT(f.metrics.Page(), HasSubstr("vantor_audit_dropped_total 6"));
  {
    std::lock_guard<std::mutex> lock(f.deliveries->mu);
    f.deliveries->held = false;
    f.deliveries->changed.notify_all();
  }
  f.trail->Stop();
  // The first four went out, in order; the rest were dropped.
  EXPECT_THAT(f.deliveries->delivered, ElementsAre("0", "1", "2", "3"));
  EXPECT_EQ(f.trail->dropped(), 6u);
  // After the stop nothing is queued any more.
  f.trail->Record(f.Numbered(99));
  EXPECT_EQ(f.trail->waiting(), 0u);
  EXPECT_EQ(f.trail->dropped(), 7u);
}

TEST(AuditTrailTest, FailedDeliveriesAreTriedAgainInOrder) {
  Fixture f;
  f.deliveries->failures_left = 3;
  for (int i = 0; i < 5; ++i) f.trail->Record(f.Numbered(i));
  f.trail->Start();
  f.trail->Stop();
  EXPECT_THAT(f.deliveries->delivered, ElementsAre("0", "1", "2", "3", "4"));
  EXPECT_EQ(f.deliveries->attempts, 8);
  EXPECT_EQ(f.trail->dropped(), 0u);
}

TEST(AuditTrailTest, SwitchedOffKeepsNothing) {
  Fixture f;
  Config c = *f.config;
  c.Audit = false;
  f.config = std::make_shared<const Config>(c);
  f.trail->Record(f.Numbered(1));
  EXPECT_EQ(f.trail->waiting(), 0u);
  EXPECT_EQ(f.trail->dropped(), 0u);
  f.trail->Start();
  f.trail->Stop();
  EXPECT_TRUE(f.deliveries->delivered.empty());
}

TEST(AuditTrailTest, StopGivesUpOnAnAbsentCollectorAndCountsTheRest) {
  Fixture f(10000, std::chrono::milliseconds(50));
  f.deliveries->always_fail = true;
  for (int i = 0; i < 3; ++i) f.trail->Record(f.Numbered(i));
  f.trail->Start();
  f.trail->Stop();
  EXPECT_TRUE(f.deliveries->delivered.empty());
  EXPECT_GE(f.deliveries->attempts, 1);
  EXPECT_EQ(f.trail->dropped(), 3u);
  EXPECT_THAT(f.metrics.Page(), HasSubstr("vantor_audit_dropped_total 3"));
}

TEST(AuditTrailTest, UdpTransportSendsOneDatagramPerMessage) {
  UdpReceiver collector;
  Config c;
  c.AuditCollector = "udp://127.0.0.1:" + std::to_string(collector.port());
  std::unique_ptr<Transport> transport = TransportFor(c);
  AuditSource source;
  source.aet = "OWN_AET";
  source.host = "front";
  source.process_id = "77";
  AuditRecord small;
  small.event = AuditEvent::kApplicationStart;
  std::string why;
  ASSERT_TRUE(transport->Send(small, source, why)) << why;
  const std::string first = collector.Receive(std::chrono::seconds(10)).value_or("");
  EXPECT_THAT(first, StartsWith("<85>1 "));
  EXPECT_THAT(first, HasSubstr(" front vantor 77 IHE+RFC-3881 - \xEF\xBB\xBF<?xml"));

  // A message too big for a datagram arrives cut to fit, still whole.
  AuditRecord big;
  big.event = AuditEvent::kInstancesTransferred;
  big.action = 'R';
  for (int i = 0; i < 3000; ++i)
    big.studies.push_back({"1.2.3.4.5.6.7.8.9." + std::to_string(i), {}});
  ASSERT_TRUE(transport->Send(big, source, why)) << why;
  const std::string second = collector.Receive(std::chrono::seconds(10)).value_or("");
  ASSERT_FALSE(second.empty());
  EXPECT_LE(second.size(), 65000u);
  const size_t bom = second.find("\xEF\xBB\xBF");
  ASSERT_NE(bom, std::string::npos);
  ParsedAudit parsed = ParseAuditXml({second.substr(bom + 3)});
  EXPECT_TRUE(parsed.ok) << parsed.error;
}

}  // namespace
}  // namespace vantor::audit
