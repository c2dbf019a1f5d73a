// The C-STORE client against DCMTK's storescp: what the archive tells of a
// file (class and syntax) shapes the proposal, and a file found in another
// syntax than the archive said still arrives whole.
#include "dicom/toolkit/store_client.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

namespace fs = std::filesystem;

constexpr char kCt[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kMr[] = "1.2.840.10008.5.1.4.1.1.4";
constexpr char kExplicit[] = "1.2.840.10008.1.2.1";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.70";

class StoreClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ + "/received");
    port_ = FreeLoopbackPort();
    const std::string port = std::to_string(port_);
    const std::string out = dir_ + "/received";
    destination_ = ::fork();
    if (destination_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int null_fd = ::open("/dev/null", O_RDWR);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
      // Uncompressed syntaxes only: a JPEG proposal is refused.
      ::execl("/usr/bin/storescp", "storescp", "-aet", "DEST", "-od",
              out.c_str(), port.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !IsListening(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  void TearDown() override {
    if (destination_ > 0) {
      ::kill(destination_, SIGKILL);
      ::waitpid(destination_, nullptr, 0);
    }
  }

  std::string Image(const std::string& uid, const std::string& sop_class = kCt) {
    TestImage image;
    image.sop_instance_uid = uid;
    image.sop_class_uid = sop_class;
    std::string path = dir_ + "/" + uid + ".dcm";
    WriteTestImage(path, image);
    return path;
  }
  StoreDestination Destination() const {
    StoreDestination d;
    d.address = "127.0.0.1";
    d.port = port_;
    d.called_aet = "DEST";
    d.calling_aet = "VANTOR";
    d.timeout_seconds = 30;
    return d;
  }
  std::string Received(const std::string& uid) const {
    return dir_ + "/received/CT." + uid;
  }

  TempFolder folder_{"store-client"};
  const std::string dir_ = folder_.path();
  int port_ = 0;
  pid_t destination_ = -1;
};

TEST_F(StoreClientTest, WhatTheArchiveTellsShapesTheProposalAndFilesArriveWhole) {
  const std::string told = Image("1.2.826.0.1.3680043.9.6.1");
  const std::string mistold = Image("1.2.826.0.1.3680043.9.6.2");
  const std::string untold = Image("1.2.826.0.1.3680043.9.6.3");
  const std::vector<uint16_t> pixels = DecodedPixels(told);
  ASSERT_FALSE(pixels.empty());
  // The second file is said to be JPEG lossless but is explicit little
  // endian: the context for it is refused, the uncompressed one carries it.
  StoreRun run = StoreFiles(Destination(),
                            {{told, kCt, kExplicit},
                             {mistold, kCt, kJpegLossless},
                             {untold, "", ""}},
                            {});
  EXPECT_EQ(run.association_error, "");
  EXPECT_EQ(run.completed, 3);
  ASSERT_EQ(run.files.size(), 3u);
  for (const StoreFileResult& r : run.files) EXPECT_EQ(r.error, "") << r.path;
  for (const char* uid : {"1.2.826.0.1.3680043.9.6.1", "1.2.826.0.1.3680043.9.6.2",
                          "1.2.826.0.1.3680043.9.6.3"})
    EXPECT_EQ(DecodedPixels(Received(uid)), pixels) << uid;

  // A CT image that the archive calls MR: CT was never proposed, so that
  // file fails; the others of the run go.
  const std::string mr = Image("1.2.826.0.1.3680043.9.6.4", kMr);
  run = StoreFiles(Destination(), {{mr, kMr, kExplicit}, {untold, kMr, kExplicit}},
                   {});
  EXPECT_EQ(run.completed, 1);
  EXPECT_EQ(run.failed, 1);
  ASSERT_EQ(run.files.size(), 2u);
  EXPECT_NE(run.files[1].error.find("accepted no context"), std::string::npos)
      << run.files[1].error;
}

}  // namespace
}  // namespace vantor::dicom
