// The importer's queue in the archive database, on a real PostgreSQL: two
// fronts sharing one incoming folder import every image once, a claim left
// by a front that stopped is taken over when its lease has run out, a
// claim another front holds is left alone, and a front with a folder of
// its own never takes the images of another's.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "host/base/config.h"
#include "host/base/database.h"
#include "import/archive_files.h"
#include "import/import_worker.h"
#include "jobs/job_store.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.8.1";
constexpr char kSeries[] = "1.2.826.0.1.3680043.9.8.1.1";

class ImportQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    temp_ = archive_.dir() + "/incoming/";
    fs::create_directories(temp_);
    archive_.AddLocation({.archive_path = archive_.dir() + "/store"});
    auto config = std::make_shared<Config>(*Settings());
    config->DBServer = archive_.DBServer();
    config->Temp = temp_;
    config->Import = true;
    config->JobQueue = "database";
    config->JobLeaseSeconds = 1;
    config_ = config;
  }

  ImportWorker::SettingsSource Source() {
    return [this] { return config_; };
  }

  // An image as reception leaves it in the shared incoming folder (or in
  // `folder`).
  std::string Receive(int n, const std::string& folder = "") {
    const std::string temp = folder.empty() ? temp_ : folder;
    TestImage image;
    image.sop_instance_uid = std::string(kSeries) + ".9." + std::to_string(n);
    image.patient_id = "P-QUEUE";
    image.patient_name = "Queue^Anna";
    image.study_uid = kStudy;
    image.series_uid = kSeries;
    image.extra = {{"InstanceNumber", std::to_string(n)}};
    WriteTestImage(temp + image.sop_instance_uid + ".dcm", image);
    std::ofstream(temp + image.sop_instance_uid + ".cae") << "MODALITY\r\n";
    return image.sop_instance_uid;
  }

  int64_t Count(const std::string& sql) {
    return std::stoll(archive_.Query(sql).rows.at(0).at(0).ToText());
  }

  // Waits (bounded) until `done` holds.
  template <typename F>
  bool WaitFor(F done, int seconds = 30) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
  }

  FixtureArchive archive_{ArchiveBackend::kPostgres};
  std::string temp_;
  std::shared_ptr<const Config> config_;
};

TEST_F(ImportQueueTest, TwoFrontsOnOneIncomingFolderImportEveryImageOnce) {
  constexpr int kImages = 40;
  std::vector<std::string> uids;
  for (int n = 1; n <= kImages; ++n) uids.push_back(Receive(n));
  ImportWorker a(Source(), "front-a");
  ImportWorker b(Source(), "front-b");
  a.Start();
  b.Start();
  // Both fronts are told of every image (each finds them in the folder).
  for (const std::string& uid : uids) {
    a.Notify(uid);
    b.Notify(uid);
  }
  ASSERT_TRUE(WaitFor([&] {
    return Count("SELECT COUNT(*) FROM tblImages") == kImages &&
           Count("SELECT COUNT(*) FROM tblImportJobs") == 0;
  })) << Count("SELECT COUNT(*) FROM tblImages") << " images, "
      << Count("SELECT COUNT(*) FROM tblImportJobs") << " rows";
  a.Stop();
  b.Stop();
  // No image was imported twice, nothing failed, nothing is left claimed.
  EXPECT_EQ(a.imported() + b.imported(), kImages);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStudies"), 1);
  EXPECT_TRUE(ImagesIn(ImportingFolder(temp_), false).empty());
  EXPECT_TRUE(ImagesIn(FailedFolder(temp_), false).empty());
  EXPECT_TRUE(ImagesIn(temp_, true).empty());
}

TEST_F(ImportQueueTest, AClaimLeftByAStoppedFrontIsTakenOverAfterItsLease) {
  const std::string left = Receive(1);
  ASSERT_TRUE(ClaimReceived(temp_, left));
  archive_.Exec(
      "INSERT INTO tblImportJobs (Scope, State, Payload, Owner, LeaseUntil, "
      "Attempts) VALUES ('" + temp_ + "', 'running', '" + left +
      "', 'gone:1', now() + interval '2 seconds', 1)");
  // Held by another front that is still within its lease: left alone.
  const std::string live = Receive(2);
  ASSERT_TRUE(ClaimReceived(temp_, live));
  archive_.Exec(
      "INSERT INTO tblImportJobs (Scope, State, Payload, Owner, LeaseUntil, "
      "Attempts) VALUES ('" + temp_ + "', 'running', '" + live +
      "', 'busy:1', now() + interval '1 hour', 1)");
  const std::string fresh = Receive(3);

  ImportWorker b(Source(), "front-b");
  b.Start();
  b.Notify(fresh);
  ASSERT_TRUE(WaitFor([&] {
    return Count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + left +
                 "'") == 1;
  }));
  EXPECT_EQ(Count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + fresh +
                  "'"),
            1);
  b.Stop();
  EXPECT_EQ(Count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + live +
                  "'"),
            0);
  EXPECT_TRUE(IsClaimed(temp_, live));
  EXPECT_FALSE(IsClaimed(temp_, left));
  EXPECT_EQ(Count("SELECT COUNT(*) FROM tblImportJobs"), 1);
}

TEST_F(ImportQueueTest, AFrontWithAFolderOfItsOwnLeavesOtherFoldersImagesAlone) {
  // Front B (not running now) queued an image of its own folder.
  const std::string other = archive_.dir() + "/incoming-b/";
  fs::create_directories(other);
  const std::string theirs = Receive(1, other);
  Database db;
  db.Open(ConnectionText(archive_.DBServer()));
  ASSERT_EQ(JobStore(db, JobKind::kImport, other).AddMissing({theirs}), 1);

  const std::string mine = Receive(2);
  ImportWorker a(Source(), "front-a");
  a.Start();
  a.Notify(mine);
  ASSERT_TRUE(WaitFor([&] { return a.imported() == 1; }));
  a.Stop();
  // Front A found no file of B's image in its folder: the row is B's still.
  EXPECT_EQ(Count("SELECT COUNT(*) FROM tblImportJobs WHERE State = "
                  "'waiting' AND Payload = '" + theirs + "'"),
            1);

  auto config_b = std::make_shared<Config>(*config_);
  config_b->Temp = other;
  ImportWorker b([config_b] { return config_b; }, "front-b");
  b.Start();
  ASSERT_TRUE(WaitFor([&] {
    return Count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" +
                 theirs + "'") == 1;
  }));
  b.Stop();
  EXPECT_TRUE(ImagesIn(other, true).empty());
}

TEST_F(ImportQueueTest, AWaitingRowWithoutAFileIsDoneWith) {
  // A row whose image was imported by its first holder before the row went
  // (or that names no file at all) is removed, never imported or failed.
  archive_.Exec("INSERT INTO tblImportJobs (Scope, Payload) VALUES ('" +
                temp_ + "', '1.2.3.4'), ('" + temp_ + "', '../x')");
  const std::string uid = Receive(1);
  ImportWorker b(Source(), "front-b");
  b.Start();
  b.Notify(uid);
  ASSERT_TRUE(WaitFor([&] {
    return b.imported() == 1 &&
           Count("SELECT COUNT(*) FROM tblImportJobs") == 0;
  }));
  b.Stop();
  EXPECT_EQ(b.imported(), 1);
  EXPECT_TRUE(ImagesIn(FailedFolder(temp_), false).empty());
}

}  // namespace
}  // namespace vantor
