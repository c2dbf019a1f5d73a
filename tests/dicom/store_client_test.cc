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
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dicom/toolkit/part10_file.h"
#include "tests/support/service_process.h"
#include "tests/support/test_env.h"
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
      std::vector<std::string> args = {"storescp", "-aet", "DEST", "-od", out};
      for (const std::string& a : ExtraArguments()) args.push_back(a);
      args.push_back(port);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv("/usr/bin/storescp", argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !IsListening(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  // More options for storescp.
  virtual std::vector<std::string> ExtraArguments() const { return {}; }

  void TearDown() override {
    if (destination_ > 0) {
      ::kill(destination_, SIGKILL);
      ::waitpid(destination_, nullptr, 0);
    }
  }

  std::string Image(const std::string& uid, const std::string& sop_class = kCt,
                    int matrix = 64) {
    TestImage image;
    image.sop_instance_uid = uid;
    image.sop_class_uid = sop_class;
    image.rows = matrix;
    image.columns = matrix;
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
  std::string Received(const std::string& uid,
                       const std::string& prefix = "CT") const {
    return dir_ + "/received/" + prefix + "." + uid;
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

// A destination that keeps what it receives bit for bit and takes PDUs of
// 4 KB only.
class StoreClientAsStoredTest : public StoreClientTest {
 protected:
  std::vector<std::string> ExtraArguments() const override {
    return {"--bit-preserving", "--max-pdu", "4096"};
  }
};

// The dataset of a Part 10 file: its bytes after the meta header.
std::string DatasetBytes(const std::string& path) {
  const Part10Header h = ReadPart10Header(path);
  const std::string bytes = ReadWholeFile(path);
  if (h.dataset_offset == 0 || h.dataset_offset >= bytes.size()) return "";
  return bytes.substr(h.dataset_offset);
}

TEST_F(StoreClientAsStoredTest,
       MixedClassesAndSyntaxesInOneRunFilesAsStoredArriveByteForByte) {
  // Told by the archive (CT), read from its header (MR), a CT image the
  // destination takes only once converted (JPEG lossless), a file that is
  // no DICOM file and one that is missing: one association, each file on
  // its own context, the two bad ones failed and the rest delivered.
  const std::string ct = Image("1.2.826.0.1.3680043.9.6.11", kCt, 256);
  const std::string mr = Image("1.2.826.0.1.3680043.9.6.12", kMr);
  TestImage lossless;
  lossless.sop_instance_uid = "1.2.826.0.1.3680043.9.6.13";
  lossless.transfer_syntax = kJpegLossless;
  const std::string jpeg = dir_ + "/jpeg.dcm";
  WriteTestImage(jpeg, lossless);
  const std::string junk = dir_ + "/junk.dcm";
  std::ofstream(junk, std::ios::binary) << std::string(500, 'x');
  const std::string missing = dir_ + "/missing.dcm";

  std::vector<std::string> done;
  StoreRun run = StoreFiles(Destination(),
                            {{ct, kCt, kExplicit},
                             {junk, "", ""},
                             {mr, "", ""},
                             {missing, kCt, kExplicit},
                             {jpeg, kCt, kJpegLossless}},
                            [&](const StoreFileResult& r) {
                              done.push_back(r.path);
                            });
  EXPECT_EQ(run.association_error, "");
  EXPECT_EQ(run.completed, 3);
  EXPECT_EQ(run.failed, 2);
  EXPECT_EQ(done, (std::vector<std::string>{ct, junk, mr, missing, jpeg}));
  ASSERT_EQ(run.files.size(), 5u);
  EXPECT_NE(run.files[1].error.find(junk), std::string::npos);
  EXPECT_NE(run.files[3].error.find(missing), std::string::npos);
  for (size_t i : {0u, 2u, 4u}) EXPECT_EQ(run.files[i].error, "") << i;

  // Sent as stored: the very bytes of the datasets (the CT image in 32
  // PDUs of 4 KB).
  const std::string ct_got = Received("1.2.826.0.1.3680043.9.6.11");
  const std::string mr_got = Received("1.2.826.0.1.3680043.9.6.12", "MR");
  EXPECT_FALSE(DatasetBytes(ct).empty());
  EXPECT_TRUE(DatasetBytes(ct_got) == DatasetBytes(ct));
  EXPECT_TRUE(DatasetBytes(mr_got) == DatasetBytes(mr));
  // Converted for a destination that takes no JPEG: the same pixels.
  const std::string jpeg_got = Received("1.2.826.0.1.3680043.9.6.13");
  EXPECT_EQ(FileTransferSyntax(jpeg_got), kExplicit);
  EXPECT_EQ(DecodedPixels(jpeg_got), DecodedPixels(jpeg));
  EXPECT_FALSE(DecodedPixels(jpeg_got).empty());
}

}  // namespace
}  // namespace vantor::dicom
