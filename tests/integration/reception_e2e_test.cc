// Images sent with storescu to the running service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <thread>

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

constexpr char kImplicitLE[] = "1.2.840.10008.1.2";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.70";
constexpr char kUid1[] = "1.2.826.0.1.3680043.9.1.1";
constexpr char kUid2[] = "1.2.826.0.1.3680043.9.1.2";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos;
       pos = text.find(what, pos + what.size()))
    ++n;
  return n;
}

class ReceptionE2eTest : public ::testing::Test {
 protected:
  void TearDown() override { service_.Stop(); }

  bool Start(const RegValues& default_values, const RegValues& instance_values,
             bool debug = true) {
    ServiceProcess::Options options;
    options.debug = debug;
    options.default_values = default_values;
    options.instance_values = instance_values;
    return service_.Start(options);
  }

  // A test image file in the work folder.
  std::string Image(const TestImage& image) {
    std::string path = work_ + "/" + image.sop_instance_uid + ".src";
    WriteTestImage(path, image);
    return path;
  }
  std::string Image(const std::string& uid,
                    const std::string& modality = "CT") {
    TestImage image;
    image.sop_instance_uid = uid;
    image.modality = modality;
    return Image(image);
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
  // The files of the incoming folder (its Unzip folder left out).
  std::set<std::string> IncomingFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Incoming()))
      if (entry.is_regular_file())
        names.insert(entry.path().filename().string());
    return names;
  }
  std::string Incoming(const std::string& name) const {
    return Incoming() + "/" + name;
  }

  ServiceProcess service_;
  TempFolder folder_{"send"};
  const std::string work_ = folder_.path();
};

TEST_F(ReceptionE2eTest, StoresImagesWithTheirSideFiles) {
  ASSERT_TRUE(Start({}, {})) << service_.Describe();
  const std::string first = Image(kUid1);
  ToolResult r = Store({first, Image(kUid2, "MR")});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Count(r.output, "Received Store Response (Success)"), 2u)
      << r.output;

  const std::string uid1 = kUid1, uid2 = kUid2;
  EXPECT_EQ(IncomingFiles(),
            (std::set<std::string>{uid1 + ".cae", uid1 + ".dcm", uid2 + ".cae",
                                   uid2 + ".dcm"}));
  EXPECT_EQ(ReadWholeFile(Incoming(uid1 + ".cae")), "MODAL\r\n");
  EXPECT_EQ(FileTransferSyntax(Incoming(uid1 + ".dcm")), kImplicitLE);
  EXPECT_EQ(DecodedPixels(Incoming(uid1 + ".dcm")), DecodedPixels(first));
  EXPECT_FALSE(DecodedPixels(first).empty());

  const std::string log = service_.ReadLog("Receive.log");
  EXPECT_THAT(
      log,
      HasSubstr("\tImage received from MODAL on port " + service_.port_text() +
                "\t (PatID = P1, PatName = Meyer^Anna, "
                "StudyUID = 1.2.826.0.1.3680043.9.2, "
                "SeriesUID = 1.2.826.0.1.3680043.9.3, ImageUID = " +
                uid1 + ", compressed = False\r\n"));
  EXPECT_EQ(Count(log, "\tImage received from "), 2u) << log;
  EXPECT_EQ(service_.ErrorLog(), "");
}

TEST_F(ReceptionE2eTest, APvImageWithoutMpeg2KeepsTheSyntaxItCameIn) {
  ASSERT_TRUE(Start({}, {})) << service_.Describe();
  const std::string sent = Image(kUid1, "pv");
  ToolResult r = Store({sent});
  ASSERT_EQ(Count(r.output, "Received Store Response (Success)"), 1u)
      << r.output;
  const std::string written = Incoming(std::string(kUid1) + ".dcm");
  EXPECT_EQ(FileTransferSyntax(written), FileTransferSyntax(sent));
  EXPECT_EQ(DecodedPixels(written), DecodedPixels(sent));
  EXPECT_THAT(service_.DebugLog(),
              HasSubstr("cannot be written in 1.2.840.10008.1.2.4.100"));
}

TEST_F(ReceptionE2eTest, RenameWritesDcmRenWithoutReceiveLogWhenQuiet) {
  ASSERT_TRUE(Start({}, {{"Rename", "1"}}, /*debug=*/false))
      << service_.Describe();
  ToolResult r = Store({Image(kUid1)});
  ASSERT_EQ(Count(r.output, "Received Store Response (Success)"), 1u)
      << r.output;
  const std::string uid = kUid1;
  EXPECT_EQ(IncomingFiles(),
            (std::set<std::string>{uid + ".cae", uid + ".dcm.ren"}));
  EXPECT_EQ(FileTransferSyntax(Incoming(uid + ".dcm.ren")), kImplicitLE);
  EXPECT_EQ(service_.ReadLog("Receive.log"), "");
}

TEST_F(ReceptionE2eTest, CompressWritesJpegLosslessWithTheSamePixels) {
  ASSERT_TRUE(Start({{"Compress", "1"}}, {})) << service_.Describe();
  TestImage image;
  image.sop_instance_uid = kUid1;
  image.rows = 128;
  image.columns = 96;
  const std::string sent = Image(image);
  ToolResult r = Store({sent});
  ASSERT_EQ(Count(r.output, "Received Store Response (Success)"), 1u)
      << r.output;
  const std::string written = Incoming(std::string(kUid1) + ".dcm");
  EXPECT_EQ(FileTransferSyntax(written), kJpegLossless) << service_.DebugLog();
  std::vector<uint16_t> pixels = DecodedPixels(written);
  EXPECT_EQ(pixels.size(), 128u * 96u);
  EXPECT_EQ(pixels, DecodedPixels(sent));
  EXPECT_LT(fs::file_size(written), fs::file_size(sent) + 1024);
  EXPECT_THAT(service_.ReadLog("Receive.log"),
              HasSubstr(", compressed = True\r\n"));
}

// Images larger than one write of the reception, over many PDUs: the one
// kept as it arrived and the one rewritten to implicit little endian both
// hold every pixel that was sent.
TEST_F(ReceptionE2eTest, LargeImagesArriveWhole) {
  ASSERT_TRUE(Start({}, {})) << service_.Describe();
  TestImage kept;
  kept.sop_instance_uid = kUid1;
  kept.rows = 512;
  kept.columns = 385;  // an image size that ends inside a page
  kept.transfer_syntax = kImplicitLE;
  TestImage rewritten = kept;
  rewritten.sop_instance_uid = kUid2;
  rewritten.transfer_syntax = "1.2.840.10008.1.2.1";
  const std::string sent_kept = Image(kept);
  const std::string sent_rewritten = Image(rewritten);
  ToolResult r = Store({sent_kept, sent_rewritten});
  ASSERT_EQ(Count(r.output, "Received Store Response (Success)"), 2u)
      << r.output;
  for (const auto& [uid, sent] :
       {std::pair{std::string(kUid1), sent_kept},
        std::pair{std::string(kUid2), sent_rewritten}}) {
    const std::string written = Incoming(uid + ".dcm");
    EXPECT_EQ(FileTransferSyntax(written), kImplicitLE) << uid;
    std::vector<uint16_t> pixels = DecodedPixels(written);
    EXPECT_EQ(pixels.size(), 512u * 385u) << uid;
    EXPECT_EQ(pixels, DecodedPixels(sent)) << uid;
  }
}

TEST_F(ReceptionE2eTest, DismissedModalitiesAreAcceptedButNotWritten) {
  ASSERT_TRUE(Start({},
                    {{"EnableDismiss", "1"}, {"DismissModalities", "CT;MR"}},
                    /*debug=*/false))
      << service_.Describe();
  ToolResult r = Store({Image(kUid1, "ct"), Image(kUid2, "US")});
  EXPECT_EQ(Count(r.output, "Received Store Response (Success)"), 2u)
      << r.output;
  const std::string uid2 = kUid2;
  EXPECT_EQ(IncomingFiles(),
            (std::set<std::string>{uid2 + ".cae", uid2 + ".dcm"}));
  const std::string log = service_.ReadLog("Receive.log");
  EXPECT_THAT(log, HasSubstr("ImageUID = " + std::string(kUid1) +
                             ", compressed = False\r\n"));
  EXPECT_THAT(log, HasSubstr("\tImage dismissed cause of modality CT\r\n"));
  EXPECT_EQ(Count(log, "\r\n"), 2u) << log;
}

TEST_F(ReceptionE2eTest, AnInvalidUidIsRefusedAndNothingWritten) {
  ASSERT_TRUE(Start({}, {})) << service_.Describe();
  ToolResult r = Store({Image("1.2.3.4x"), Image(kUid2)});
  EXPECT_EQ(Count(r.output, "Received Store Response (Success)"), 1u)
      << r.output;
  const std::string uid2 = kUid2;
  EXPECT_EQ(IncomingFiles(),
            (std::set<std::string>{uid2 + ".cae", uid2 + ".dcm"}));
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("Invalid SOP Instance UID '1.2.3.4x' Port: " +
                        service_.port_text() +
                        " Source: MODAL\tImageReceivedAsync\r\n"));
}

// A small file system mounted on the incoming folder for one test.
class ScopedTmpfs {
 public:
  ScopedTmpfs(std::string dir, const std::string& size) : dir_(std::move(dir)) {
    fs::create_directories(dir_);
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0,
                       ("size=" + size).c_str()) == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool Resize(const std::string& size) {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT,
                   ("size=" + size).c_str()) == 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST_F(ReceptionE2eTest, AFullDiskHoldsTheImageButNotOtherAssociations) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
  ScopedTmpfs disk(Incoming(), "50m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  ASSERT_TRUE(Start({}, {})) << service_.Describe();
  const std::string file = Image(kUid1);

  std::future<ToolResult> store = std::async(std::launch::async, [&] {
    return Store({file}, std::chrono::seconds(60));
  });
  // The image waits for space: nothing is written meanwhile, and another
  // association is answered.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_THAT(IncomingFiles(), IsEmpty());
  ToolResult echo = RunDcmtkTool(
      "echoscu", {"-aet", "ECHO", "127.0.0.1", service_.port_text()});
  EXPECT_EQ(echo.exit_code, 0) << echo.output;
  EXPECT_EQ(store.wait_for(std::chrono::seconds(0)),
            std::future_status::timeout);

  ASSERT_TRUE(disk.Resize("2g"));
  ToolResult r = store.get();
  EXPECT_EQ(Count(r.output, "Received Store Response (Success)"), 1u)
      << r.output;
  EXPECT_EQ(IncomingFiles(),
            (std::set<std::string>{std::string(kUid1) + ".cae",
                                   std::string(kUid1) + ".dcm"}));
  // The service must not hold the mount when it goes.
  service_.Stop();
}

TEST_F(ReceptionE2eTest, StoppingTheServiceRefusesAnImageWaitingForSpace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
  ScopedTmpfs disk(Incoming(), "50m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  ASSERT_TRUE(Start({}, {})) << service_.Describe();
  const std::string file = Image(kUid1);
  std::future<ToolResult> store = std::async(std::launch::async, [&] {
    return Store({file}, std::chrono::seconds(60));
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_EQ(store.wait_for(std::chrono::seconds(0)),
            std::future_status::timeout);

  // The shutdown does not wait out the ten minutes of the disk wait: the
  // image is refused (the sender keeps it) and the service ends cleanly.
  auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(service_.Stop(std::chrono::seconds(10)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
  ToolResult r = store.get();
  EXPECT_EQ(Count(r.output, "Received Store Response (Success)"), 0u)
      << r.output;
  EXPECT_THAT(IncomingFiles(), IsEmpty());
  EXPECT_THAT(service_.ErrorLog(),
              HasSubstr("Disk full (the service is stopping)"));
}

}  // namespace
}  // namespace vantor
