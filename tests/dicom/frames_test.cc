// Frames of a Part 10 file for WADO-RS: decoded one at a time or as
// stored, in every syntax the archive keeps, with the fragments of a frame
// found with and without an offset table.
#include "dicom/toolkit/frames.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dctk.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

using ::testing::HasSubstr;

constexpr char kImplicit[] = "1.2.840.10008.1.2";
constexpr char kExplicit[] = "1.2.840.10008.1.2.1";
constexpr char kBigEndian[] = "1.2.840.10008.1.2.2";
constexpr char kJpegBaseline[] = "1.2.840.10008.1.2.4.50";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.70";
constexpr char kJpegLsLossless[] = "1.2.840.10008.1.2.4.80";
constexpr char kRle[] = "1.2.840.10008.1.2.5";

TestImage MultiFrame(int frames, int bits, int samples,
                     const std::string& syntax) {
  TestImage image;
  image.rows = 24;
  image.columns = 20;
  image.frames = frames;
  image.bits_allocated = bits;
  image.samples_per_pixel = samples;
  image.transfer_syntax = syntax;
  return image;
}

// The fragments of the file's pixel sequence (item 0, the offset table,
// left out).
std::vector<std::string> StoredFragments(const std::string& path) {
  DcmFileFormat file;
  EXPECT_TRUE(file.loadFile(path.c_str()).good());
  DcmElement* el = nullptr;
  file.getDataset()->findAndGetElement(DCM_PixelData, el);
  auto* pixels = static_cast<DcmPixelData*>(el);
  E_TransferSyntax rep = EXS_Unknown;
  const DcmRepresentationParameter* param = nullptr;
  pixels->getOriginalRepresentationKey(rep, param);
  DcmPixelSequence* seq = nullptr;
  pixels->getEncapsulatedRepresentation(rep, param, seq);
  std::vector<std::string> out;
  for (unsigned long i = 1; seq != nullptr && i < seq->card(); ++i) {
    DcmPixelItem* item = nullptr;
    seq->getItem(item, i);
    Uint8* data = nullptr;
    item->getUint8Array(data);
    out.emplace_back(reinterpret_cast<char*>(data), item->getLength());
  }
  return out;
}

// Rewrites the compressed file at `path` with each frame's fragment split
// in two, and an offset table when `with_offsets`.
void SplitFragments(const std::string& path, bool with_offsets) {
  const std::vector<std::string> frames = StoredFragments(path);
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(path.c_str()).good());
  ASSERT_TRUE(file.loadAllDataIntoMemory().good());
  DcmDataset& ds = *file.getDataset();
  const E_TransferSyntax xfer = ds.getOriginalXfer();
  auto* seq = new DcmPixelSequence(DCM_PixelSequenceTag);
  auto* table = new DcmPixelItem(DCM_PixelItemTag);
  seq->insert(table);
  DcmOffsetList offsets;
  Uint32 position = 0;
  for (const std::string& frame : frames) {
    offsets.push_back(position);
    const size_t half = (frame.size() / 2) & ~size_t{1};
    for (const std::string& part :
         {frame.substr(0, half), frame.substr(half)}) {
      auto* item = new DcmPixelItem(DCM_PixelItemTag);
      item->putUint8Array(reinterpret_cast<const Uint8*>(part.data()),
                          static_cast<Uint32>(part.size()));
      seq->insert(item);
      position += 8 + static_cast<Uint32>(part.size());
    }
  }
  if (with_offsets) {
    // DcmPixelItem::createOffsetTable wants the item lengths.
    std::vector<Uint32> table_bytes;
    for (Uint32 o : offsets) table_bytes.push_back(o);
    table->putUint8Array(reinterpret_cast<const Uint8*>(table_bytes.data()),
                         static_cast<Uint32>(table_bytes.size() * 4));
  }
  auto* pixels = new DcmPixelData(DCM_PixelData);
  pixels->putOriginalRepresentation(xfer, nullptr, seq);
  ds.insert(pixels, OFTrue);
  ASSERT_TRUE(file.saveFile(path.c_str(), xfer).good());
}

int FailureNumber(const std::string& path, const std::vector<int>& numbers,
                  bool as_stored, std::string* what = nullptr) {
  try {
    ReadFrames(path, numbers, as_stored);
  } catch (const Failure& f) {
    if (what != nullptr) *what = f.what();
    return f.number();
  }
  return 0;
}

class FramesTest : public ::testing::Test {
 protected:
  std::string Write(const TestImage& image, const std::string& name) {
    const std::string path = folder_.Path(name);
    WriteTestImage(path, image);
    return path;
  }

  TempFolder folder_{"frames"};
};

TEST_F(FramesTest, NativeFramesInAnyOrderAndRepeated) {
  for (const char* syntax : {kExplicit, kImplicit, kBigEndian}) {
    SCOPED_TRACE(syntax);
    const TestImage image = MultiFrame(3, 16, 1, syntax);
    const std::string path = Write(image, "native.dcm");
    const Frames decoded = ReadFrames(path, {2, 3, 1, 2}, false);
    EXPECT_EQ(decoded.transfer_syntax, kExplicit);
    ASSERT_EQ(decoded.data.size(), 4u);
    const int order[] = {2, 3, 1, 2};
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(decoded.data[i].size(), 24u * 20 * 2);
      EXPECT_TRUE(decoded.data[i] == TestImagePixelBytes(image, order[i] - 1))
          << "frame " << order[i];
    }
    // As stored, an uncompressed file gives the same native frames; the
    // syntax is the file's own when its frames are little endian.
    const Frames stored = ReadFrames(path, {3}, true);
    EXPECT_EQ(stored.transfer_syntax,
              std::string(syntax) == kBigEndian ? kExplicit : syntax);
    EXPECT_TRUE(stored.data.at(0) == TestImagePixelBytes(image, 2));
  }
}

TEST_F(FramesTest, CompressedFramesDecodeToTheOriginalPixels) {
  struct Case {
    const char* syntax;
    int bits;
    int samples;
  };
  for (const Case& c :
       {Case{kJpegLossless, 16, 1}, Case{kJpegLsLossless, 16, 1},
        Case{kRle, 16, 1}, Case{kJpegLossless, 8, 3},
        Case{kJpegLsLossless, 8, 3}, Case{kRle, 8, 3}}) {
    SCOPED_TRACE(std::string(c.syntax) + " " + std::to_string(c.bits) +
                 " bits, " + std::to_string(c.samples) + " samples");
    const TestImage image = MultiFrame(4, c.bits, c.samples, c.syntax);
    const std::string path = Write(image, "compressed.dcm");
    const Frames decoded = ReadFrames(path, {4, 1, 3}, false);
    EXPECT_EQ(decoded.transfer_syntax, kExplicit);
    ASSERT_EQ(decoded.data.size(), 3u);
    const size_t size = 24u * 20 * c.samples * (c.bits / 8);
    const int order[] = {4, 1, 3};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(decoded.data[i].size(), size);
      EXPECT_TRUE(decoded.data[i] == TestImagePixelBytes(image, order[i] - 1))
          << "frame " << order[i];
    }
  }
}

TEST_F(FramesTest, CompressedFramesAsStoredAreTheirFragments) {
  const TestImage image = MultiFrame(3, 16, 1, kJpegLsLossless);
  const std::string path = Write(image, "stored.dcm");
  const std::vector<std::string> fragments = StoredFragments(path);
  ASSERT_EQ(fragments.size(), 3u);
  const Frames stored = ReadFrames(path, {3, 1}, true);
  EXPECT_EQ(stored.transfer_syntax, kJpegLsLossless);
  ASSERT_EQ(stored.data.size(), 2u);
  EXPECT_TRUE(stored.data[0] == fragments[2]);
  EXPECT_TRUE(stored.data[1] == fragments[0]);
  EXPECT_EQ(stored.data[0].substr(0, 2), "\xFF\xD8");
}

TEST_F(FramesTest, FramesOfSeveralFragmentsWithAndWithoutAnOffsetTable) {
  for (bool with_offsets : {true, false}) {
    SCOPED_TRACE(with_offsets ? "offset table" : "no offset table");
    const TestImage image = MultiFrame(3, 16, 1, kJpegLossless);
    const std::string path = Write(image, "split.dcm");
    const std::vector<std::string> whole = StoredFragments(path);
    SplitFragments(path, with_offsets);
    ASSERT_EQ(StoredFragments(path).size(), 6u);
    // Asked out of order: each frame's fragments, found and joined.
    const Frames stored = ReadFrames(path, {2, 3, 1}, true);
    EXPECT_EQ(stored.transfer_syntax, kJpegLossless);
    EXPECT_TRUE(stored.data.at(0) == whole[1]);
    EXPECT_TRUE(stored.data.at(1) == whole[2]);
    EXPECT_TRUE(stored.data.at(2) == whole[0]);
    const Frames decoded = ReadFrames(path, {3, 2}, false);
    EXPECT_TRUE(decoded.data.at(0) == TestImagePixelBytes(image, 2));
    EXPECT_TRUE(decoded.data.at(1) == TestImagePixelBytes(image, 1));
  }
}

TEST_F(FramesTest, AColourJpegDecodesToRgbOfTheWholeFrameSize) {
  const TestImage image = MultiFrame(2, 8, 3, kJpegBaseline);
  const std::string path = Write(image, "baseline.dcm");
  const Frames decoded = ReadFrames(path, {2}, false);
  EXPECT_EQ(decoded.transfer_syntax, kExplicit);
  EXPECT_EQ(decoded.data.at(0).size(), 24u * 20 * 3);
  const Frames stored = ReadFrames(path, {2}, true);
  EXPECT_EQ(stored.transfer_syntax, kJpegBaseline);
  EXPECT_EQ(stored.data.at(0).substr(0, 2), "\xFF\xD8");
}

TEST_F(FramesTest, FramesThatAreNotThereAreFailure9) {
  const std::string path = Write(MultiFrame(3, 16, 1, kExplicit), "three.dcm");
  std::string what;
  EXPECT_EQ(FailureNumber(path, {4}, false, &what), kFrameOutOfRange);
  EXPECT_THAT(what, HasSubstr("Subscript out of range"));
  EXPECT_THAT(what, HasSubstr("no frame 4 in 3"));
  EXPECT_EQ(FailureNumber(path, {1, 0}, true), kFrameOutOfRange);
  EXPECT_EQ(FailureNumber(path, {-1}, false), kFrameOutOfRange);
  EXPECT_EQ(FailureNumber(path, {}, false), kFrameOutOfRange);
  // A single-frame image has frame 1 only.
  const std::string single = Write(TestImage{}, "single.dcm");
  EXPECT_EQ(ReadFrames(single, {1}, false).data.size(), 1u);
  EXPECT_EQ(FailureNumber(single, {2}, false), kFrameOutOfRange);
  // No pixel data at all.
  const std::string report = folder_.Path("report.dcm");
  {
    DcmFileFormat file;
    file.getDataset()->putAndInsertString(DCM_SOPClassUID,
                                          "1.2.840.10008.5.1.4.1.1.88.11");
    file.getDataset()->putAndInsertString(DCM_SOPInstanceUID, "1.2.3");
    ASSERT_TRUE(file.saveFile(report.c_str(), EXS_LittleEndianExplicit).good());
  }
  EXPECT_EQ(FailureNumber(report, {1}, false, &what), kFrameOutOfRange);
  EXPECT_THAT(what, HasSubstr("no pixel data"));
}

TEST_F(FramesTest, UnreadableFilesAndUndecodableFramesAreFailure75) {
  std::string what;
  EXPECT_EQ(FailureNumber(folder_.Path("missing.dcm"), {1}, false, &what), 75);
  EXPECT_THAT(what, HasSubstr("missing.dcm"));
  // A JPEG whose bitstream is garbage: as stored it is what it is, decoded
  // it is a failure of the server.
  const std::string path =
      Write(MultiFrame(2, 16, 1, kJpegLossless), "bad.dcm");
  {
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(path.c_str()).good());
    ASSERT_TRUE(file.loadAllDataIntoMemory().good());
    DcmElement* el = nullptr;
    file.getDataset()->findAndGetElement(DCM_PixelData, el);
    auto* pixels = static_cast<DcmPixelData*>(el);
    DcmPixelSequence* seq = nullptr;
    pixels->getEncapsulatedRepresentation(EXS_JPEGProcess14SV1, nullptr, seq);
    ASSERT_NE(seq, nullptr);
    DcmPixelItem* item = nullptr;
    seq->getItem(item, 2);
    std::string garbage = "\xFF\xD8";
    garbage += std::string(item->getLength() - 2, '\x5A');
    item->putUint8Array(reinterpret_cast<const Uint8*>(garbage.data()),
                        static_cast<Uint32>(garbage.size()));
    ASSERT_TRUE(file.saveFile(path.c_str(), EXS_JPEGProcess14SV1).good());
  }
  EXPECT_EQ(ReadFrames(path, {2}, true).data.at(0).substr(2, 3), "ZZZ");
  EXPECT_EQ(ReadFrames(path, {1}, false).data.size(), 1u);
  EXPECT_EQ(FailureNumber(path, {2}, false, &what), 75);
  EXPECT_THAT(what, HasSubstr("frame 2"));
}

TEST_F(FramesTest, OnlyTheFramesAskedForAreRead) {
  // 1000 frames of 1 MiB in a sparse file: the frame asked for is read,
  // the rest would show in the time and the peak resident size.
  TestImage image = MultiFrame(1, 16, 1, kExplicit);
  image.rows = 512;
  image.columns = 1024;
  const std::string path = Write(image, "big.dcm");
  constexpr uint32_t kFrame = 512u * 1024 * 2;
  constexpr uint32_t kFrames = 1000;
  {
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(path.c_str()).good());
    ASSERT_TRUE(file.loadAllDataIntoMemory().good());
    file.getDataset()->putAndInsertString(DCM_NumberOfFrames, "1000");
    ASSERT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
  }
  ClaimPixelDataLength(path, kFrame * kFrames);
  const size_t before = PeakResidentBytes();
  const Frames first = ReadFrames(path, {1}, false);
  EXPECT_TRUE(first.data.at(0) == TestImagePixelBytes(image, 0));
  const Frames last = ReadFrames(path, {1000, 500}, true);
  EXPECT_EQ(last.data.at(0), std::string(kFrame, '\0'));
  EXPECT_EQ(last.data.at(1).size(), kFrame);
  EXPECT_LT(PeakResidentBytes() - before, size_t{64} << 20);
}

}  // namespace
}  // namespace vantor::dicom
