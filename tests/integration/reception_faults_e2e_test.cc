// Reception when things go wrong: an incoming folder that cannot be written
// or is full, a service killed in the middle of a run, and the temporary
// files such a kill leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "retrieve/store/incoming_files.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kSuccess[] = "Received Store Response (Success)";
constexpr char kOutOfResources[] =
    "Received Store Response (Refused: "
    "OutOfResources)";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos;
       pos = text.find(what, pos + what.size()))
    ++n;
  return n;
}

bool IsFinalName(const std::string& name) {
  auto ends = [&](const std::string& end) {
    return name.size() > end.size() &&
           name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  return name[0] != '.' && (ends(".dcm") || ends(".dcm.ren") || ends(".cae"));
}

// The SOP Instance UIDs that storescu's verbose output reports as stored:
// each "Sending file: <folder>/<uid>.src" followed by a success response.
std::set<std::string> StoredUids(const std::string& output) {
  std::set<std::string> uids;
  std::istringstream lines(output);
  std::string line, current;
  const std::string sending = "Sending file: ";
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(sending);
    if (at != std::string::npos) {
      std::string path = line.substr(at + sending.size());
      current = fs::path(path).stem().string();
    } else if (line.find(kSuccess) != std::string::npos && !current.empty()) {
      uids.insert(current);
      current.clear();
    }
  }
  return uids;
}

// A file system mounted on a folder for one test.
class ScopedMount {
 public:
  ScopedMount(std::string dir, unsigned long flags, const std::string& options)
      : dir_(std::move(dir)) {
    fs::create_directories(dir_);
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", dir_.c_str(), "tmpfs",
                                           flags, options.c_str()) == 0;
  }
  ~ScopedMount() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool Remount(unsigned long flags, const std::string& options) {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | flags,
                   options.c_str()) == 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// A process id that no process has: a child that has ended and been reaped.
pid_t EndedPid() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

class ReceptionFaultsE2eTest : public ::testing::Test {
 protected:
  void TearDown() override { service_.Stop(); }

  bool Start(bool debug = true) {
    ServiceProcess::Options options;
    options.debug = debug;
    return service_.Start(options);
  }

  std::string Image(const std::string& uid, int size = 64) {
    TestImage image;
    image.sop_instance_uid = uid;
    image.rows = size;
    image.columns = size;
    std::string path = work_ + "/" + uid + ".src";
    WriteTestImage(path, image);
    return path;
  }

  ToolResult Store(
      const std::vector<std::string>& files,
      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::vector<std::string> args = {
        "-v", "--no-halt", "-aet", "MODAL", "127.0.0.1", service_.port_text()};
    args.insert(args.end(), files.begin(), files.end());
    return RunDcmtkTool("storescu", args, timeout);
  }

  std::string Incoming() const {
    return service_.program_dir() + "/drives/e/Temp";
  }
  std::string Incoming(const std::string& name) const {
    return Incoming() + "/" + name;
  }
  // The files of the incoming folder (its Unzip folder left out).
  std::set<std::string> IncomingFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Incoming()))
      if (entry.is_regular_file())
        names.insert(entry.path().filename().string());
    return names;
  }
  size_t CountIncoming(const std::string& end) const {
    size_t n = 0;
    for (const std::string& name : IncomingFiles())
      if (name.size() > end.size() &&
          name.compare(name.size() - end.size(), end.size(), end) == 0)
        ++n;
    return n;
  }
  void KillInTheMiddle(int associations);
  void Plant(const std::string& name) {
    std::ofstream(Incoming(name)) << "left behind";
  }

  ServiceProcess service_;
  TempFolder folder_{"faults"};
  const std::string work_ = folder_.path();
};

TEST_F(ReceptionFaultsE2eTest, AReadOnlyIncomingFolderRefusesImages) {
  // Root writes through every permission bit; a read-only file system stops
  // it too.
  ScopedMount disk(Incoming(), MS_RDONLY, "size=2g");
  if (!disk.mounted())
    GTEST_SKIP() << "cannot mount a read-only tmpfs here (needs root and "
                    "CAP_SYS_ADMIN)";
  ASSERT_TRUE(Start()) << service_.Describe();
  const std::string uid1 = "1.2.826.0.1.3680043.9.7.1";
  const std::string uid2 = "1.2.826.0.1.3680043.9.7.2";
  ToolResult r = Store({Image(uid1), Image(uid2)});
  EXPECT_EQ(Count(r.output, kOutOfResources), 2u) << r.output;
  EXPECT_EQ(Count(r.output, kSuccess), 0u) << r.output;
  EXPECT_THAT(IncomingFiles(), IsEmpty());
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("Read-only file system Port: " + service_.port_text()));

  // Writable again: the next image is stored without a restart.
  ASSERT_TRUE(disk.Remount(0, "size=2g"));
  r = Store({Image(uid1)});
  EXPECT_EQ(Count(r.output, kSuccess), 1u) << r.output;
  EXPECT_EQ(IncomingFiles(),
            (std::set<std::string>{uid1 + ".cae", uid1 + ".dcm"}));
  service_.Stop();
}

TEST_F(ReceptionFaultsE2eTest, AFolderWithoutFreeEntriesLeavesNoFileBehind) {
  ScopedMount disk(Incoming(), 0, "size=2g");
  if (!disk.mounted())
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root and CAP_SYS_ADMIN)";
  ASSERT_TRUE(Start()) << service_.Describe();
  // Room for one more entry: the side file is written, the image finds the
  // file system full.
  struct statvfs st {};
  ASSERT_EQ(::statvfs(Incoming().c_str(), &st), 0);
  const uint64_t used = st.f_files - st.f_ffree;
  ASSERT_TRUE(disk.Remount(0, "size=2g,nr_inodes=" + std::to_string(used + 1)));
  const std::string uid = "1.2.826.0.1.3680043.9.7.3";
  ToolResult r = Store({Image(uid)});
  EXPECT_EQ(Count(r.output, kOutOfResources), 1u) << r.output;
  // Neither file under its final name, and no temporary one left.
  EXPECT_THAT(IncomingFiles(), IsEmpty());
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("No space left on device"));
  service_.Stop();
}

// Stores 200 images over `associations` associations at once and kills the
// service in the middle: every answered image is whole on the disk, and so
// is every file under a final name.
void ReceptionFaultsE2eTest::KillInTheMiddle(int associations) {
  ASSERT_TRUE(Start(/*debug=*/false)) << service_.Describe();
  constexpr int kImages = 200;
  constexpr int kPixels = 16;
  std::vector<std::vector<std::string>> shares(associations);
  for (int i = 1; i <= kImages; ++i)
    shares[i % associations].push_back(
        Image("1.2.826.0.1.3680043.9.8." + std::to_string(i), kPixels));

  std::vector<std::future<ToolResult>> stores;
  for (const std::vector<std::string>& share : shares) {
    stores.push_back(std::async(std::launch::async, [this, &share] {
      return Store(share, std::chrono::seconds(60));
    }));
  }
  // Killed once a good part of the run is stored, well before its end.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (CountIncoming(".dcm") < 40 &&
         std::chrono::steady_clock::now() < deadline &&
         stores.front().wait_for(std::chrono::milliseconds(2)) ==
             std::future_status::timeout) {
  }
  ASSERT_EQ(::kill(service_.pid(), SIGKILL), 0);
  EXPECT_EQ(service_.WaitForExit(std::chrono::seconds(10)), 128 + SIGKILL);
  std::set<std::string> stored;
  std::string outputs;
  for (std::future<ToolResult>& store : stores) {
    ToolResult r = store.get();
    stored.merge(StoredUids(r.output));
    outputs += r.output;
  }

  // The kill may land between an image's rename and its answer, so a few of
  // the files counted above may not have been answered yet.
  EXPECT_GE(stored.size(), 20u) << outputs;
  EXPECT_LT(stored.size(), static_cast<size_t>(kImages)) << outputs;
  // Every acknowledged image is there with its side file.
  for (const std::string& uid : stored) {
    EXPECT_EQ(ReadWholeFile(Incoming(uid + ".cae")), "MODAL\r\n") << uid;
    EXPECT_EQ(DecodedPixels(Incoming(uid + ".dcm")).size(),
              static_cast<size_t>(kPixels * kPixels))
        << uid;
  }
  // And every file under a final name is whole, acknowledged or not.
  for (const std::string& name : IncomingFiles()) {
    if (!IsFinalName(name)) continue;
    if (name.ends_with(".cae")) {
      EXPECT_EQ(ReadWholeFile(Incoming(name)), "MODAL\r\n") << name;
    } else {
      EXPECT_EQ(DecodedPixels(Incoming(name)).size(),
                static_cast<size_t>(kPixels * kPixels))
          << name;
    }
  }

  // Started again, the service keeps every final name and leaves no
  // temporary one.
  const std::set<std::string> before = IncomingFiles();
  ASSERT_TRUE(Start(/*debug=*/false)) << service_.Describe();
  std::set<std::string> finals;
  for (const std::string& name : before)
    if (IsFinalName(name)) finals.insert(name);
  EXPECT_EQ(IncomingFiles(), finals);
}

TEST_F(ReceptionFaultsE2eTest, AKillInTheMiddleLosesNoAcknowledgedImage) {
  KillInTheMiddle(1);
}

TEST_F(ReceptionFaultsE2eTest,
       AKillAmongConcurrentAssociationsLosesNoAcknowledgedImage) {
  KillInTheMiddle(4);
}

TEST_F(ReceptionFaultsE2eTest, TemporaryFilesOfAnEndedProcessGoAtTheStart) {
  const std::string host = TemporaryNameHost();
  const std::string ended = std::to_string(EndedPid());
  const std::string running = std::to_string(::getpid());
  fs::create_directories(Incoming());
  // Left by an ended process: removed.
  const std::string stale1 =
      ".1.2.826.0.1.3680043.9.9.1." + ended + "-1@" + host + ".part";
  const std::string stale2 =
      ".1.2.826.0.1.3680043.9.9.1." + ended + "-2@" + host + ".part";
  // Being written by another instance of this host, one of another host,
  // and names that are not reception's temporary names: kept.
  const std::set<std::string> kept = {
      ".1.2.826.0.1.3680043.9.9.2." + running + "-1@" + host + ".part",
      ".1.2.826.0.1.3680043.9.9.3." + ended + "-1@other-host.part",
      "1.2.826.0.1.3680043.9.9.4.dcm",
      "1.2.826.0.1.3680043.9.9.4.cae",
      "1.2.826.0.1.3680043.9.9.5.dcm.ren",
      ".notes.part",
      "1.2.826.0.1.3680043.9.9.6." + ended + "-1@" + host + ".part",
  };
  Plant(stale1);
  Plant(stale2);
  for (const std::string& name : kept) Plant(name);

  ASSERT_TRUE(Start()) << service_.Describe();
  EXPECT_EQ(IncomingFiles(), kept);
  const std::string debug = service_.DebugLog();
  EXPECT_THAT(debug, HasSubstr("Temporary file " + stale1 +
                               " of an interrupted reception removed"));
  EXPECT_THAT(debug, HasSubstr("Temporary file " + stale2 +
                               " of an interrupted reception removed"));
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("2 temporary files of interrupted receptions removed "
                        "from " +
                        Incoming()));
}

}  // namespace
}  // namespace vantor
