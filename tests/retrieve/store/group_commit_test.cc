// The group commit of the incoming folder: images stored at the same moment
// share their folder flush, and a failed flush fails exactly the images it
// covered.
#include "retrieve/store/group_commit.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/base/failure.h"
#include "retrieve/store/incoming_files.h"
#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// Waits (bounded) until `ready` says so; false when it never did.
template <typename F>
bool Eventually(F ready) {
  for (int i = 0; i < 10000; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class GroupCommitTest : public ::testing::Test {
 protected:
  static std::string Uid(int n) {
    return "1.2.826.0.1.3680043.9.7." + std::to_string(n);
  }
  static std::string Pixels(int n) {
    return "image " + std::to_string(n) + std::string(5000, 'x');
  }

  // Stores image `n` through `commit`; "" when stored, else the failure.
  std::string Store(GroupCommit& commit, int n) {
    std::string error;
    GuardWith(
        [&] {
          StoreIncomingFiles(commit, folder_, Uid(n), "MODAL", Uid(n) + ".dcm",
                             [&](const std::string& path) {
                               std::ofstream(path, std::ios::binary)
                                   << Pixels(n);
                             });
        },
        [&](const FailureInfo& info) {
          error = std::to_string(info.number) + " " + info.description;
        });
    return error;
  }
  std::future<std::string> StoreAsync(GroupCommit& commit, int n) {
    return std::async(std::launch::async,
                      [this, &commit, n] { return Store(commit, n); });
  }

  bool IsStored(int n) const {
    return ReadAll(folder_ + Uid(n) + ".cae") == "MODAL\r\n" &&
           ReadAll(folder_ + Uid(n) + ".dcm") == Pixels(n);
  }
  bool HasAnyFileOf(int n) const {
    for (const auto& entry : fs::directory_iterator(dir_))
      if (entry.path().filename().string().find(Uid(n) + ".") !=
          std::string::npos)
        return true;
    return false;
  }
  std::set<std::string> TemporaryFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      std::string name = entry.path().filename().string();
      if (ParseTemporaryName(name)) names.insert(name);
    }
    return names;
  }

  TempFolder temp_{"group-commit"};
  const std::string dir_ = temp_.path();
  const std::string folder_ = dir_ + "/";
};

// Flushes that hold the first folder flush until three further images wait
// behind it, so that those three are one batch; `fail_folder_batch` (1, 2)
// makes that batch's folder flush fail, `fail_file` the flush of files whose
// path holds it.
struct ArrangedFlushes {
  GroupCommit* commit = nullptr;
  std::atomic<int> folder_flushes{0};
  std::promise<void> first_flush_entered;
  int fail_folder_batch = 0;
  std::string fail_file;

  DiskFlushes Make() {
    DiskFlushes real = SystemDiskFlushes();
    DiskFlushes flushes;
    flushes.file = [this, real](int fd, const std::string& path) {
      if (!fail_file.empty() && path.find(fail_file) != std::string::npos)
        return EIO;
      return real.file(fd, path);
    };
    flushes.folder = [this, real](int fd, const std::string& folder) {
      const int batch = ++folder_flushes;
      if (batch == 1) {
        first_flush_entered.set_value();
        Eventually([&] { return commit->Waiting() == 3; });
      }
      if (batch == fail_folder_batch) return EIO;
      return real.folder(fd, folder);
    };
    return flushes;
  }
};

TEST_F(GroupCommitTest, ImagesWaitingTogetherShareOneFolderFlush) {
  ArrangedFlushes arranged;
  GroupCommit commit(folder_, arranged.Make());
  arranged.commit = &commit;

  std::future<std::string> first = StoreAsync(commit, 1);
  arranged.first_flush_entered.get_future().wait();
  std::vector<std::future<std::string>> others;
  for (int n = 2; n <= 4; ++n) others.push_back(StoreAsync(commit, n));
  EXPECT_EQ(first.get(), "");
  for (auto& other : others) EXPECT_EQ(other.get(), "");

  // One flush of the folder for the first image, one for the three that
  // gathered behind it.
  EXPECT_EQ(commit.Batches(), 2u);
  EXPECT_EQ(arranged.folder_flushes.load(), 2);
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(IsStored(n)) << n;
  EXPECT_TRUE(TemporaryFiles().empty());

  // Alone, an image is a batch of its own.
  EXPECT_EQ(Store(commit, 5), "");
  EXPECT_EQ(commit.Batches(), 3u);
  EXPECT_TRUE(IsStored(5));
}

TEST_F(GroupCommitTest, AFailedFlushFailsExactlyTheImagesItCovered) {
  // The folder flush of the second batch fails: its three images fail, the
  // first image and the ones after stand.
  {
    ArrangedFlushes arranged;
    arranged.fail_folder_batch = 2;
    GroupCommit commit(folder_, arranged.Make());
    arranged.commit = &commit;
    std::future<std::string> first = StoreAsync(commit, 1);
    arranged.first_flush_entered.get_future().wait();
    std::vector<std::future<std::string>> covered;
    for (int n = 2; n <= 4; ++n) covered.push_back(StoreAsync(commit, n));
    EXPECT_EQ(first.get(), "");
    for (auto& image : covered)
      EXPECT_EQ(image.get(),
                std::to_string(kPathFileAccessError) + " Input/output error");
    EXPECT_EQ(Store(commit, 5), "");
    EXPECT_TRUE(IsStored(1));
    EXPECT_TRUE(IsStored(5));
    EXPECT_TRUE(TemporaryFiles().empty());
  }
  // The flush of one image's file fails: that image fails and leaves
  // nothing behind, its batch mates are stored.
  {
    ArrangedFlushes arranged;
    arranged.fail_file = Uid(13) + ".";
    GroupCommit commit(folder_, arranged.Make());
    arranged.commit = &commit;
    std::future<std::string> first = StoreAsync(commit, 11);
    arranged.first_flush_entered.get_future().wait();
    std::future<std::string> before = StoreAsync(commit, 12);
    std::future<std::string> failing = StoreAsync(commit, 13);
    std::future<std::string> after = StoreAsync(commit, 14);
    EXPECT_EQ(first.get(), "");
    EXPECT_EQ(before.get(), "");
    EXPECT_EQ(failing.get(),
              std::to_string(kPathFileAccessError) + " Input/output error");
    EXPECT_EQ(after.get(), "");
    EXPECT_EQ(commit.Batches(), 2u);
    EXPECT_TRUE(IsStored(11));
    EXPECT_TRUE(IsStored(12));
    EXPECT_TRUE(IsStored(14));
    EXPECT_FALSE(HasAnyFileOf(13));
  }
}

TEST_F(GroupCommitTest, ManyAssociationsAtOnceStoreEveryImageWhole) {
  GroupCommit commit(folder_);
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::future<std::vector<std::string>>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(std::async(std::launch::async, [&, t] {
      std::vector<std::string> errors;
      for (int i = 0; i < kEach; ++i) {
        std::string error = Store(commit, 100 + t * kEach + i);
        if (!error.empty()) errors.push_back(error);
      }
      return errors;
    }));
  }
  for (auto& thread : threads) EXPECT_TRUE(thread.get().empty());
  for (int n = 100; n < 100 + kThreads * kEach; ++n)
    EXPECT_TRUE(IsStored(n)) << n;
  EXPECT_TRUE(TemporaryFiles().empty());
  // The process's own commit of a folder is one and the same object.
  EXPECT_EQ(&GroupCommitFor(folder_), &GroupCommitFor(folder_));
}

}  // namespace
}  // namespace vantor
