// The queue of work in the archive database, on a real PostgreSQL: fronts
// claiming at once never share a row, a lease that is not renewed passes
// to the next claim and takes the old holder's rights with it, and what a
// job carries comes back unchanged.
#include "jobs/job_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/base/failure.h"
#include "tests/support/fixture_archive.h"

namespace vantor {
namespace {

class JobStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    db_.Open(ConnectionText(archive_.DBServer()));
  }

  FixtureArchive archive_{ArchiveBackend::kPostgres};
  Database db_;
};

TEST_F(JobStoreTest, FrontsClaimingAtOnceNeverShareARow) {
  JobStore store(db_, JobKind::kMove);
  constexpr int kJobs = 60;
  for (int i = 0; i < kJobs; ++i) store.Add("job " + std::to_string(i));
  std::mutex mu;
  std::map<int64_t, std::vector<std::string>> claimed;  // id -> owners
  std::vector<std::thread> fronts;
  for (int f = 0; f < 4; ++f) {
    fronts.emplace_back([&, f] {
      Database db;
      db.Open(ConnectionText(archive_.DBServer()));
      JobStore mine(db, JobKind::kMove);
      const std::string owner = "front" + std::to_string(f);
      for (int i = 0; i < kJobs; ++i) {
        std::optional<QueuedJob> job = mine.Claim(owner, 60);
        if (!job) break;
        {
          std::lock_guard<std::mutex> lock(mu);
          claimed[job->id].push_back(owner);
        }
        EXPECT_TRUE(mine.Finish(job->id, owner, true, "Completed=1"));
      }
    });
  }
  for (std::thread& t : fronts) t.join();
  EXPECT_EQ(claimed.size(), static_cast<size_t>(kJobs));
  for (const auto& [id, owners] : claimed)
    EXPECT_EQ(owners.size(), 1u) << "job " << id << " claimed twice";
  EXPECT_FALSE(store.Claim("late", 60).has_value());
}

TEST_F(JobStoreTest, ALeaseNotRenewedPassesOnWithItsRights) {
  JobStore store(db_, JobKind::kMove);
  const int64_t id = store.Add("the job");
  std::optional<QueuedJob> first = store.Claim("front-a", 1);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->id, id);
  EXPECT_EQ(first->attempts, 1);
  // Held: nobody else gets it while the lease runs.
  EXPECT_FALSE(store.Claim("front-b", 60).has_value());
  EXPECT_TRUE(store.Renew(id, "front-a", 1, "Completed=3"));

  // Front A stops renewing; the lease runs out (bounded wait).
  std::optional<QueuedJob> second;
  for (int i = 0; i < 100 && !second; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    second = store.Claim("front-b", 60);
  }
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->id, id);
  EXPECT_EQ(second->attempts, 2);
  // The new holder sees how far the old one came.
  EXPECT_EQ(second->progress, "Completed=3");
  // The old holder has lost it: it can neither renew nor end it.
  EXPECT_FALSE(store.Renew(id, "front-a", 60, "Completed=4"));
  EXPECT_FALSE(store.Finish(id, "front-a", true, "Completed=5"));
  EXPECT_TRUE(store.Finish(id, "front-b", false, "Error=no destination"));
  std::optional<QueuedJob> ended = store.Get(id);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->state, "failed");
  EXPECT_EQ(ended->owner, "front-b");
  EXPECT_EQ(ended->progress, "Error=no destination");
  // An ended row is claimed no more.
  EXPECT_FALSE(store.Claim("front-c", 60).has_value());
}

TEST_F(JobStoreTest, KindsAreQueuesOfTheirOwnAndPayloadsComeBackAsQueued) {
  JobStore moves(db_, JobKind::kMove);
  JobStore imports(db_, JobKind::kImport);
  const std::string payload =
      "odbc:DSN=x\r\nSELECT * FROM view_images WHERE PATNachname = 'O''Brien'\r\n"
      "\xC3\x84rzte\r\n";
  const int64_t id = imports.Add(payload);
  EXPECT_FALSE(moves.Claim("front", 60).has_value());
  std::optional<QueuedJob> job = imports.Claim("front", 60);
  ASSERT_TRUE(job.has_value());
  EXPECT_EQ(job->id, id);
  EXPECT_EQ(job->payload, payload);
  EXPECT_EQ(job->state, "running");
  EXPECT_FALSE(moves.Get(id).has_value() && moves.Get(id)->payload == payload);
}

TEST_F(JobStoreTest, ImagesQueuedByFrontsAtOnceGetOneActiveRowEach) {
  // Four fronts find the same 50 images in a shared folder at once.
  std::vector<std::string> uids;
  for (int i = 0; i < 50; ++i) uids.push_back("1.2.3." + std::to_string(i));
  std::atomic<int> added{0};
  std::vector<std::thread> fronts;
  for (int f = 0; f < 4; ++f) {
    fronts.emplace_back([&] {
      Database db;
      db.Open(ConnectionText(archive_.DBServer()));
      JobStore mine(db, JobKind::kImport);
      for (int round = 0; round < 3; ++round) added += mine.AddMissing(uids);
    });
  }
  for (std::thread& t : fronts) t.join();
  EXPECT_EQ(added.load(), 50);
  JobStore store(db_, JobKind::kImport);
  std::vector<QueuedJob> claimed = store.ClaimMany("front-a", 60, 64);
  ASSERT_EQ(claimed.size(), 50u);
  // Held rows still count: nothing is queued again while they run.
  EXPECT_EQ(store.AddMissing(uids), 0);
  // Rows done with go; then the images may be queued again.
  std::vector<int64_t> ids;
  for (const QueuedJob& job : claimed) ids.push_back(job.id);
  EXPECT_EQ(store.Remove(ids, "front-b"), 0);  // not its rows
  EXPECT_EQ(store.Remove(ids, "front-a"), 50);
  EXPECT_EQ(store.AddMissing({uids[0], uids[0]}), 1);
}

TEST(JobStoreSqliteTest, AnSqliteArchiveHasNoQueue) {
  FixtureArchive archive;
  VANTOR_SKIP_UNLESS_READY(archive);
  Database db;
  db.Open(ConnectionText(archive.DBServer()));
  EXPECT_THROW(JobStore(db, JobKind::kMove), Failure);
}

}  // namespace
}  // namespace vantor
