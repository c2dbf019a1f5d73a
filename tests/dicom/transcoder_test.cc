// Transfer syntax conversion: which pairs are possible, the order a sender
// tries accepted syntaxes in, and whole Part 10 files converted with the
// pixels kept (lossless) and the instance kept (always).
#include "dicom/toolkit/transcoder.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kImplicit[] = "1.2.840.10008.1.2";
constexpr char kExplicit[] = "1.2.840.10008.1.2.1";
constexpr char kDeflated[] = "1.2.840.10008.1.2.1.99";
constexpr char kBigEndian[] = "1.2.840.10008.1.2.2";
constexpr char kJpegBaseline[] = "1.2.840.10008.1.2.4.50";
constexpr char kJpegExtended[] = "1.2.840.10008.1.2.4.51";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.57";
constexpr char kJpegLosslessSv1[] = "1.2.840.10008.1.2.4.70";
constexpr char kJpegLs[] = "1.2.840.10008.1.2.4.80";
constexpr char kJpegLsNear[] = "1.2.840.10008.1.2.4.81";
constexpr char kJpeg2000[] = "1.2.840.10008.1.2.4.90";
constexpr char kRle[] = "1.2.840.10008.1.2.5";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Text(DcmItem& item, const DcmTagKey& key) {
  OFString value;
  item.findAndGetOFString(key, value);
  return value.c_str();
}

// --- Which conversions
// --------------------------------------------------------

TEST(CanTranscodeTest, TheSyntaxOfTheFileItself) {
  for (const char* s : {kImplicit, kExplicit, kJpegBaseline, kJpegLs, kRle,
                        kJpeg2000, "1.2.3.4"})
    EXPECT_TRUE(CanTranscode(s, s)) << s;
}

TEST(CanTranscodeTest, BetweenTheUncompressedAndTheLosslessSyntaxes) {
  const char* lossless[] = {kImplicit,        kExplicit, kJpegLossless,
                            kJpegLosslessSv1, kJpegLs,   kRle};
  for (const char* from : lossless)
    for (const char* to : lossless)
      EXPECT_TRUE(CanTranscode(from, to)) << from << " -> " << to;
  // Lossy and big endian sources decode to any of them.
  for (const char* from :
       {kBigEndian, kDeflated, kJpegBaseline, kJpegExtended, kJpegLsNear})
    for (const char* to : lossless)
      EXPECT_TRUE(CanTranscode(from, to)) << from << " -> " << to;
}

TEST(CanTranscodeTest, JpegBaselineAsATargetOnlyFromEightBitSources) {
  for (const char* from :
       {kImplicit, kExplicit, kJpegLosslessSv1, kJpegLs, kRle})
    EXPECT_TRUE(CanTranscode(from, kJpegBaseline)) << from;
  // 12-bit lossy JPEG.
  EXPECT_FALSE(CanTranscode(kJpegExtended, kJpegBaseline));
}

TEST(CanTranscodeTest, NotToBigEndianDeflatedNearLosslessOrWhatNoCodecMakes) {
  for (const char* to : {kBigEndian, kDeflated, kJpegLsNear, kJpegExtended,
                         kJpeg2000, "1.2.840.10008.1.2.4.100", "1.2.3.4", ""})
    EXPECT_FALSE(CanTranscode(kExplicit, to)) << to;
  // No JPEG 2000 decoder: such a file stays as it is.
  EXPECT_FALSE(CanTranscode(kJpeg2000, kExplicit));
  EXPECT_FALSE(CanTranscode("1.2.3.4", kExplicit));
  EXPECT_FALSE(CanTranscode("", kExplicit));
}

// --- The order a sender tries the accepted syntaxes in
// ------------------------

TEST(RankAcceptedSyntaxesTest,
     TheStoredSyntaxFirstThenUncompressedLosslessLossy) {
  const std::vector<std::string> accepted = {
      kJpegBaseline, kRle, kImplicit, kJpegLs, kExplicit, kJpegLosslessSv1};
  // Stored JPEG-LS: as it is, then decoded, then re-encoded losslessly,
  // JPEG baseline last.
  EXPECT_THAT(RankAcceptedSyntaxes(kJpegLs, 8, accepted),
              ElementsAre(3, 4, 2, 5, 1, 0));
  EXPECT_THAT(RankAcceptedSyntaxes(kExplicit, 8, accepted),
              ElementsAre(4, 2, 5, 3, 1, 0));
  // Big endian is a network target, after the little endian ones.
  EXPECT_THAT(
      RankAcceptedSyntaxes(kJpegLosslessSv1, 16, {kBigEndian, kImplicit}),
      ElementsAre(1, 0));
  // Two contexts in the same syntax: both, in their order.
  EXPECT_THAT(RankAcceptedSyntaxes(kRle, 16, {kExplicit, kRle, kExplicit}),
              ElementsAre(1, 0, 2));
}

TEST(RankAcceptedSyntaxesTest, OnlySyntaxesTheImageFits) {
  const std::vector<std::string> accepted = {kJpegBaseline, kJpegLs, kRle};
  // 16 bits: no JPEG baseline; 32 bits: RLE only.
  EXPECT_THAT(RankAcceptedSyntaxes(kExplicit, 16, accepted), ElementsAre(1, 2));
  EXPECT_THAT(RankAcceptedSyntaxes(kExplicit, 32, accepted), ElementsAre(2));
  // Without pixel data any of them.
  EXPECT_THAT(RankAcceptedSyntaxes(kExplicit, 0, accepted),
              ElementsAre(1, 2, 0));
  // What cannot be decoded goes only as it is.
  EXPECT_THAT(RankAcceptedSyntaxes(kJpeg2000, 16, {kExplicit, kImplicit}),
              IsEmpty());
  EXPECT_THAT(RankAcceptedSyntaxes(kJpeg2000, 16, {kExplicit, kJpeg2000}),
              ElementsAre(1));
  EXPECT_THAT(RankAcceptedSyntaxes(kExplicit, 16, {}), IsEmpty());
  EXPECT_THAT(RankAcceptedSyntaxes(kExplicit, 16, {kJpeg2000, kJpegLsNear}),
              IsEmpty());
}

// --- Whole files
// ----------------------------------------------------------------

class TranscodeFileTest : public ::testing::Test {
 protected:
  std::string Write(const TestImage& image, const std::string& name) {
    const std::string path = folder_.Path(name);
    WriteTestImage(path, image);
    return path;
  }
  // TranscodeFile's output written to a file of its own.
  std::string Transcoded(const std::string& path, const std::string& syntax,
                         const std::string& name) {
    std::string part10;
    TranscodeFile(path, syntax, part10);
    const std::string out = folder_.Path(name);
    std::ofstream(out, std::ios::binary) << part10;
    return out;
  }
  int FailureNumber(const std::string& path, const std::string& syntax,
                    std::string* what = nullptr) {
    try {
      std::string part10;
      TranscodeFile(path, syntax, part10);
    } catch (const Failure& f) {
      if (what != nullptr) *what = f.what();
      return f.number();
    }
    return 0;
  }

  TempFolder folder_{"transcode"};
};

TEST_F(TranscodeFileTest, LosslessRoundTripsKeepEveryPixel) {
  struct Case {
    int bits, samples, frames, rows, columns;
  };
  // 24 x 20 x 16 bits: a JPEG-LS stream DCMTK's cooked encoder breaks.
  for (const Case& c : {Case{16, 1, 1, 30, 22}, Case{16, 1, 2, 24, 20},
                        Case{8, 1, 2, 30, 22}, Case{8, 3, 3, 30, 22}}) {
    TestImage image;
    image.rows = c.rows;
    image.columns = c.columns;
    image.bits_allocated = c.bits;
    image.samples_per_pixel = c.samples;
    image.frames = c.frames;
    const std::string original = Write(image, "original.dcm");
    const std::string pixels = TestImagePixelBytes(image);
    ASSERT_TRUE(DecodedPixelBytes(original) == pixels);
    for (const char* there :
         {kImplicit, kJpegLossless, kJpegLosslessSv1, kJpegLs, kRle}) {
      SCOPED_TRACE(std::to_string(c.bits) + " bits, " +
                   std::to_string(c.samples) + " samples, to " + there);
      const std::string a = Transcoded(original, there, "there.dcm");
      EXPECT_EQ(FileTransferSyntax(a), there);
      EXPECT_TRUE(DecodedPixelBytes(a) == pixels);
      // From there to another compressed syntax and back.
      const std::string b = Transcoded(a, kJpegLs, "on.dcm");
      EXPECT_EQ(FileTransferSyntax(b), kJpegLs);
      const std::string c2 = Transcoded(b, kExplicit, "back.dcm");
      EXPECT_EQ(FileTransferSyntax(c2), kExplicit);
      EXPECT_TRUE(DecodedPixelBytes(c2) == pixels);
    }
  }
}

TEST_F(TranscodeFileTest, TheInstanceAndTheMetaHeaderFollow) {
  TestImage image;
  image.sop_instance_uid = "1.2.826.0.1.3680043.9.77.1";
  image.sop_class_uid = "1.2.840.10008.5.1.4.1.1.4";  // MR
  const std::string path = Write(image, "mr.dcm");
  const std::string out = Transcoded(path, kJpegLosslessSv1, "mr-ll.dcm");
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(out.c_str()).good());
  DcmMetaInfo& meta = *file.getMetaInfo();
  EXPECT_EQ(Text(meta, DCM_TransferSyntaxUID), kJpegLosslessSv1);
  EXPECT_EQ(Text(meta, DCM_MediaStorageSOPInstanceUID), image.sop_instance_uid);
  EXPECT_EQ(Text(meta, DCM_MediaStorageSOPClassUID), image.sop_class_uid);
  DcmDataset& ds = *file.getDataset();
  EXPECT_EQ(Text(ds, DCM_SOPInstanceUID), image.sop_instance_uid);
  EXPECT_EQ(Text(ds, DCM_PatientName), image.patient_name);
  EXPECT_EQ(ds.getOriginalXfer(), EXS_JPEGProcess14SV1);
  // The file as it is: a Part 10 file all the same.
  const std::string same = Transcoded(path, kExplicit, "same.dcm");
  EXPECT_EQ(ReadAll(same).substr(128, 4), "DICM");
  EXPECT_TRUE(DecodedPixelBytes(same) == DecodedPixelBytes(path));
}

TEST_F(TranscodeFileTest,
       JpegBaselineForEightBitsKeepsTheInstanceAndSaysLossy) {
  TestImage image;
  image.bits_allocated = 8;
  image.samples_per_pixel = 3;
  image.sop_instance_uid = "1.2.826.0.1.3680043.9.77.2";
  const std::string path = Write(image, "rgb.dcm");
  const std::string out = Transcoded(path, kJpegBaseline, "lossy.dcm");
  EXPECT_EQ(FileTransferSyntax(out), kJpegBaseline);
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(out.c_str()).good());
  EXPECT_EQ(Text(*file.getDataset(), DCM_SOPInstanceUID),
            image.sop_instance_uid);
  EXPECT_EQ(Text(*file.getMetaInfo(), DCM_MediaStorageSOPInstanceUID),
            image.sop_instance_uid);
  EXPECT_EQ(Text(*file.getDataset(), DCM_LossyImageCompression), "01");
  EXPECT_EQ(DecodedPixelBytes(out).size(), 64u * 64 * 3);

  // Sixteen bits do not go into JPEG baseline; no file is left behind.
  const std::string deep = Write(TestImage{}, "deep.dcm");
  std::string what;
  EXPECT_EQ(FailureNumber(deep, kJpegBaseline, &what), 5);
  EXPECT_THAT(what, HasSubstr("8-bit"));
  const std::string target = folder_.Path("deep-lossy.dcm");
  EXPECT_THROW(TranscodeFileTo(deep, kJpegBaseline, target), Failure);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(TranscodeFileTest, ImpossibleConversionsAndUnreadableFiles) {
  const std::string path = Write(TestImage{}, "plain.dcm");
  std::string what;
  for (const char* to : {kJpeg2000, kBigEndian, kJpegLsNear, "1.2.3.4", ""}) {
    EXPECT_EQ(FailureNumber(path, to, &what), 5) << to;
    EXPECT_THAT(what, HasSubstr(to));
  }
  EXPECT_EQ(FailureNumber(folder_.Path("missing.dcm"), kExplicit, &what), 75);
  EXPECT_THAT(what, HasSubstr("missing.dcm"));
  const std::string text = folder_.Path("text.dcm");
  std::ofstream(text) << "no DICOM here";
  EXPECT_EQ(FailureNumber(text, kExplicit), 75);
}

TEST_F(TranscodeFileTest, ToANewFileTheSameBytesAsInMemory) {
  TestImage image;
  image.frames = 2;
  image.transfer_syntax = kJpegLosslessSv1;
  const std::string path = Write(image, "ll.dcm");
  const std::string out = folder_.Path("out/rle.dcm");
  fs::create_directories(folder_.Path("out"));
  std::ofstream(out) << "an older file in its place";
  TranscodeFileTo(path, kRle, out);
  std::string part10;
  TranscodeFile(path, kRle, part10);
  EXPECT_TRUE(ReadAll(out) == part10);
  EXPECT_EQ(FileTransferSyntax(out), kRle);
  EXPECT_TRUE(DecodedPixelBytes(out) == TestImagePixelBytes(image));
  // A folder that is not there.
  EXPECT_THROW(TranscodeFileTo(path, kRle, folder_.Path("none/x.dcm")),
               Failure);
}

}  // namespace
}  // namespace vantor::dicom
