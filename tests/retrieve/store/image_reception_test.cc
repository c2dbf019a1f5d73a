#include "retrieve/store/image_reception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "host/base/config.h"
#include "tests/support/fake_received_image.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kExplicitLE[] = "1.2.840.10008.1.2.1";
constexpr char kTimestamp[] = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";

TEST(TransferSyntaxChoiceTest, CompressWinsThenPvThenImplicit) {
  const struct {
    bool compress;
    const char* modality;  // null: no Modality attribute
    const char* syntax;
  } cases[] = {
      {true, "PV", kJpegLosslessSyntax},
      {true, "CT", kJpegLosslessSyntax},
      {true, nullptr, kJpegLosslessSyntax},
      {false, "pv", kMpeg2Syntax},
      {false, "PV", kMpeg2Syntax},
      {false, "CT", kImplicitLittleEndianSyntax},
      {false, "", kImplicitLittleEndianSyntax},
      {false, nullptr, kImplicitLittleEndianSyntax},
      {false, "PVX", kImplicitLittleEndianSyntax},
  };
  for (const auto& c : cases) {
    dicom::Dataset attributes;
    if (c.modality != nullptr) attributes.Put(0x0008, 0x0060, c.modality);
    EXPECT_EQ(ChooseTransferSyntax(c.compress, attributes), c.syntax)
        << c.compress << " " << (c.modality ? c.modality : "(none)");
  }
}

TEST(DismissalListTest, EntriesCompareWithoutCaseButWithTheirBlanks) {
  const std::vector<std::string> plain = {"CT", "MR"};
  EXPECT_TRUE(IsModalityDismissed("CT", plain));
  EXPECT_TRUE(IsModalityDismissed("MR", plain));
  EXPECT_FALSE(IsModalityDismissed("US", plain));
  // "CT; MR": the second entry keeps its blank.
  const std::vector<std::string> blank = {"CT", " MR"};
  EXPECT_FALSE(IsModalityDismissed("MR", blank));
  EXPECT_TRUE(IsModalityDismissed(" MR", blank));
  // Entries written in lower case still match the upper-case modality.
  EXPECT_TRUE(IsModalityDismissed("CT", {"ct"}));
  // An unset list reads as EMPTY.
  EXPECT_FALSE(IsModalityDismissed("CT", {"EMPTY"}));
  EXPECT_TRUE(IsModalityDismissed("EMPTY", {"EMPTY"}));
  EXPECT_FALSE(IsModalityDismissed("CT", {}));
}

TEST(FileNameUidTest, OnlyDigitsAndSingleDots) {
  EXPECT_TRUE(IsFileNameUid("1.2.840.10008.5.1.4.1.1.2"));
  EXPECT_TRUE(IsFileNameUid("7"));
  EXPECT_TRUE(IsFileNameUid(std::string(64, '1')));
  EXPECT_FALSE(IsFileNameUid(std::string(65, '1')));
  for (const char* bad : {"", ".", "..", "../../etc/passwd", "1.2/3", "1..2",
                          ".1", "1.", "1.2.3 ", "1.2.a", "1.2\\3", "1.2.3\r\n"})
    EXPECT_FALSE(IsFileNameUid(bad)) << bad;
}

// The handler on a fake image, with the incoming folder in a temp folder of
// its own and the disk-space wait counting its pauses.
class ImageReceptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.DCM = 104;
    // The configured text uses the backslash; the handler translates it.
    config_.Temp = folder_ + "\\";
    config_.DismissModalities = {"EMPTY"};
    connection_.calling_aet = " MODAL  ";
    wait_.available = [this](const std::string& path) {
      probed_path_ = path;
      if (free_.empty()) return uint64_t{1} << 40;
      uint64_t next = free_.front();
      if (free_.size() > 1) free_.erase(free_.begin());
      return next;
    };
    wait_.pause = [this] { ++pauses_; };
    wait_.max_pauses = 5;
    for (const char* log :
         {"Receive.log", "ErrorVantor104.log", "DebugVantor104.log"})
      fs::remove(TestProgramDir() + "/Logs/" + log);
  }

  // Receives the image under the test's settings and their log, as the
  // front hands them.
  uint16_t Receive() {
    return ReceiveImage(config_, vantor::Log::Of(config_), connection_, image_,
                        wait_);
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.insert(entry.path().filename().string());
    return names;
  }
  std::string Read(const std::string& name) const {
    return ReadWholeFile(folder_ + "/" + name);
  }
  static std::string Log(const std::string& name) {
    return ReadWholeFile(TestProgramDir() + "/Logs/" + name);
  }

  TempFolder temp_{"incoming"};
  const std::string folder_ = temp_.path();
  Config config_;
  dicom::Connection connection_;
  FakeReceivedImage image_;
  DiskSpaceWait wait_;
  std::vector<uint64_t> free_;  // successive probe results; last one stays
  std::string probed_path_;
  int pauses_ = 0;
};

TEST_F(ImageReceptionTest, StoresTheImageAndItsSideFile) {
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(Files(), (std::set<std::string>{"1.2.3.4.5.cae", "1.2.3.4.5.dcm"}));
  // The calling AE title exactly as it came.
  EXPECT_EQ(Read("1.2.3.4.5.cae"), " MODAL  \r\n");
  EXPECT_EQ(Read("1.2.3.4.5.dcm"), kImplicitLittleEndianSyntax);
  ASSERT_EQ(image_.writes.size(), 1u);
  EXPECT_TRUE(image_.writes[0].part10);
  EXPECT_EQ(probed_path_, folder_ + "/");
  // Both debug switches off: no receive-log line.
  EXPECT_EQ(Log("Receive.log"), "");
  EXPECT_EQ(Log("ErrorVantor104.log"), "");
}

TEST_F(ImageReceptionTest, RenameWritesDcmRenAndOverwrites) {
  config_.Rename = true;
  std::ofstream(folder_ + "/1.2.3.4.5.cae") << "OLD\r\n";
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(Files(),
            (std::set<std::string>{"1.2.3.4.5.cae", "1.2.3.4.5.dcm.ren"}));
  EXPECT_EQ(Read("1.2.3.4.5.cae"), " MODAL  \r\n");
}

TEST_F(ImageReceptionTest, ReceptionLineWithEitherDebugSwitch) {
  config_.DefaultDebug = true;
  config_.Compress = true;
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  const std::string line =
      std::string(kTimestamp) +
      "\\tImage received from MODAL on port 104\\t \\(PatID = P1, PatName = "
      "Meyer\\^Anna, StudyUID = 1\\.2\\.3, SeriesUID = 1\\.2\\.3\\.4, "
      "ImageUID = 1\\.2\\.3\\.4\\.5, compressed = True\\r\\n";
  EXPECT_TRUE(std::regex_match(Log("Receive.log"), std::regex(line)))
      << Log("Receive.log");
  EXPECT_EQ(Read("1.2.3.4.5.dcm"), kJpegLosslessSyntax);
}

TEST_F(ImageReceptionTest, DismissedImageIsAcceptedWithTwoLinesAndNoFile) {
  config_.EnableDismiss = true;
  config_.DismissModalities = {"CT", "MR"};
  image_.attributes.Put(0x0008, 0x0060, "ct");
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_THAT(Files(), IsEmpty());
  const std::string lines =
      std::string(kTimestamp) +
      "\\tImage received from MODAL on port 104\\t \\(PatID = P1, [^\\r]*, "
      "compressed = False\\r\\n" +
      kTimestamp + "\\tImage dismissed cause of modality CT\\r\\n";
  EXPECT_TRUE(std::regex_match(Log("Receive.log"), std::regex(lines)))
      << Log("Receive.log");
  EXPECT_EQ(pauses_, 0);
}

TEST_F(ImageReceptionTest, ABlankInTheListKeepsTheImage) {
  config_.EnableDismiss = true;
  config_.DismissModalities = {"CT", " MR"};
  image_.attributes.Put(0x0008, 0x0060, "MR");
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(Files().size(), 2u);
  EXPECT_EQ(Log("Receive.log"), "");
}

TEST_F(ImageReceptionTest, DismissalWithoutModalityIsAFailure) {
  config_.EnableDismiss = true;
  config_.DismissModalities = {"CT"};
  image_.attributes.Put(0x0008, 0x0060, Value());
  EXPECT_EQ(Receive(), dicom::kStatusOutOfResources);
  EXPECT_THAT(Files(), IsEmpty());
  EXPECT_THAT(Log("ErrorVantor104.log"),
              HasSubstr("\t94\tInvalid use of Null Port: 104 Source: MODAL"
                        "\tImageReceivedAsync\r\n"));
}

TEST_F(ImageReceptionTest, AnInvalidUidNeverBecomesAFileName) {
  for (const char* uid : {"../../outside", "1.2.3/../../x", "", "1.2.3.x"}) {
    image_.attributes.Put(0x0008, 0x0018, uid);
    EXPECT_EQ(Receive(), dicom::kStatusUnableToProcess) << uid;
  }
  EXPECT_THAT(Files(), IsEmpty());
  EXPECT_TRUE(image_.writes.empty());
  EXPECT_FALSE(fs::exists(fs::path(folder_).parent_path() / "outside.cae"));
  EXPECT_THAT(Log("ErrorVantor104.log"),
              HasSubstr("Invalid SOP Instance UID '../../outside' Port: 104 "
                        "Source: MODAL\tImageReceivedAsync"));
}

TEST_F(ImageReceptionTest, AFailedWriteLeavesNothingAndKeepsTheOldFiles) {
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  image_.fail_write = true;
  connection_.calling_aet = "OTHER";
  EXPECT_EQ(Receive(), dicom::kStatusOutOfResources);
  // No temporary file is left and the earlier image and side file stand.
  EXPECT_EQ(Files(), (std::set<std::string>{"1.2.3.4.5.cae", "1.2.3.4.5.dcm"}));
  EXPECT_EQ(Read("1.2.3.4.5.cae"), " MODAL  \r\n");
  EXPECT_THAT(Log("ErrorVantor104.log"),
              HasSubstr("\t75\tPath/File access error Port: 104 Source: OTHER"
                        "\tImageReceivedAsync\r\n"));
}

TEST_F(ImageReceptionTest, AMissingIncomingFolderIsAFailure) {
  config_.Temp = folder_ + "/gone\\";
  EXPECT_EQ(Receive(), dicom::kStatusOutOfResources);
  EXPECT_THAT(Log("ErrorVantor104.log"), HasSubstr("ImageReceivedAsync"));
}

TEST_F(ImageReceptionTest, PvImageWithoutMpeg2CodecKeepsItsSyntax) {
  config_.Debug = true;
  image_.attributes.Put(0x0008, 0x0060, "PV");
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(Read("1.2.3.4.5.dcm"), kExplicitLE);
  EXPECT_THAT(
      Log("DebugVantor104.log"),
      HasSubstr("Image 1.2.3.4.5 cannot be written in " +
                std::string(kMpeg2Syntax) + " (no codec for " + kMpeg2Syntax +
                "), written in " + kExplicitLE + "\tImageReceivedAsync"));
}

TEST_F(ImageReceptionTest, AFailedConversionIsWrittenInTheArrivalSyntax) {
  config_.Compress = true;
  image_.convertible = {};
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(Read("1.2.3.4.5.dcm"), kExplicitLE);
  EXPECT_EQ(Files().size(), 2u);
  EXPECT_EQ(Log("ErrorVantor104.log"), "");
}

TEST_F(ImageReceptionTest, WaitsForSpaceThenWrites) {
  const uint64_t MiB = 1 << 20;
  free_ = {50 * MiB, 99 * MiB, 500 * MiB};
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  // Two pauses below 100 MiB, one more below 1 GiB.
  EXPECT_EQ(pauses_, 3);
  EXPECT_EQ(Files().size(), 2u);

  pauses_ = 0;
  free_ = {100 * MiB};
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(pauses_, 1);

  pauses_ = 0;
  free_ = {1024 * MiB};
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(pauses_, 0);
}

TEST_F(ImageReceptionTest, ALastingFullDiskRefusesTheImage) {
  free_ = {50u << 20};
  EXPECT_EQ(Receive(), dicom::kStatusOutOfResources);
  EXPECT_EQ(pauses_, wait_.max_pauses);
  EXPECT_THAT(Files(), IsEmpty());
  EXPECT_THAT(Log("ErrorVantor104.log"),
              HasSubstr("\t61\tDisk full Port: 104 Source: MODAL"));
}

TEST_F(ImageReceptionTest, FillsInAMissingSOPClassBeforeWriting) {
  image_.attributes.Put(0x0008, 0x0016, Value());
  image_.attributes.Put(0x0008, 0x0060, "mr");
  EXPECT_EQ(Receive(), dicom::kStatusSuccess);
  EXPECT_EQ(image_.SOPClassUID(), "1.2.840.10008.5.1.4.1.1.4");
}

}  // namespace
}  // namespace vantor
