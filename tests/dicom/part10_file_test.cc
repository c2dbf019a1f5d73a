// The meta header of a stored file read without the toolkit's parser: the
// UIDs and where the dataset starts, for every way a header can be cut
// short or malformed; files without a meta header still read through the
// toolkit; reading ahead what is not there does nothing.
#include "dicom/toolkit/part10_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

constexpr char kCt[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kExplicit[] = "1.2.840.10008.1.2.1";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.70";

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class Part10FileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& uid, const std::string& syntax) {
    TestImage image;
    image.sop_instance_uid = uid;
    image.transfer_syntax = syntax;
    const std::string path = folder_.Path(uid + ".dcm");
    WriteTestImage(path, image);
    return path;
  }
  TempFolder folder_{"part10-file"};
};

TEST_F(Part10FileTest, TheMetaHeaderGivesTheUidsAndTheDatasetStart) {
  for (const char* syntax : {kExplicit, kJpegLossless}) {
    SCOPED_TRACE(syntax);
    const std::string path = Write("1.2.826.0.1.3680043.9.5.1", syntax);
    const Part10Header h = ReadPart10Header(path);
    EXPECT_EQ(h.error, "");
    EXPECT_TRUE(h.has_meta);
    EXPECT_EQ(h.sop_class, kCt);
    EXPECT_EQ(h.sop_instance, "1.2.826.0.1.3680043.9.5.1");
    EXPECT_EQ(h.transfer_syntax, syntax);
    // The dataset starts with the first element of group 0008 (explicit
    // little endian for both syntaxes).
    const std::string bytes = ReadWholeFile(path);
    ASSERT_GT(bytes.size(), h.dataset_offset + 4);
    EXPECT_EQ(bytes.substr(h.dataset_offset, 2), std::string("\x08\x00", 2));
  }
}

TEST_F(Part10FileTest, AHeaderCutShortAsksForMoreAndIsNeverTakenHalf) {
  const std::string path = Write("1.2.826.0.1.3680043.9.5.2", kExplicit);
  const std::string bytes = ReadWholeFile(path);
  Part10Header whole;
  size_t more = 0;
  ASSERT_TRUE(ParseMetaHeader(bytes, whole, more));
  for (size_t cut = 132; cut < whole.dataset_offset + 8; ++cut) {
    SCOPED_TRACE(cut);
    Part10Header h;
    EXPECT_FALSE(ParseMetaHeader(std::string_view(bytes).substr(0, cut), h,
                                 more));
    // What it asks for covers the header's next step.
    EXPECT_GT(more, cut);
    EXPECT_FALSE(h.has_meta);
  }
  // Read again with what it asked for, the header is whole.
  Part10Header h;
  size_t want = 140;
  for (int round = 0; round < 100; ++round) {
    if (ParseMetaHeader(std::string_view(bytes).substr(0, want), h, more))
      break;
    ASSERT_GT(more, want);
    want = more;
  }
  EXPECT_EQ(h.dataset_offset, whole.dataset_offset);
  EXPECT_EQ(h.sop_instance, whole.sop_instance);
}

TEST_F(Part10FileTest, AMalformedMetaHeaderIsLeftToTheToolkit) {
  const std::string path = Write("1.2.826.0.1.3680043.9.5.3", kExplicit);
  const std::string bytes = ReadWholeFile(path);
  Part10Header whole;
  size_t more = 0;
  ASSERT_TRUE(ParseMetaHeader(bytes, whole, more));

  // Not "DICM" after the preamble.
  std::string bad = bytes;
  bad[129] = 'X';
  Part10Header h;
  EXPECT_FALSE(ParseMetaHeader(bad, h, more));
  EXPECT_EQ(more, 0u);
  // A VR that is not two capital letters.
  bad = bytes;
  bad[132 + 4] = '?';
  EXPECT_FALSE(ParseMetaHeader(bad, h, more));
  EXPECT_EQ(more, 0u);
  // Without the transfer syntax element: the dataset's group follows at once.
  bad = bytes.substr(0, 132) + bytes.substr(whole.dataset_offset);
  EXPECT_FALSE(ParseMetaHeader(bad, h, more));

  // A file that is only the dataset (no preamble, no meta header) is read
  // by the toolkit: the UIDs from the dataset, no dataset start.
  const std::string bare = folder_.Path("bare.dcm");
  WriteBytes(bare, bytes.substr(whole.dataset_offset));
  const Part10Header b = ReadPart10Header(bare);
  EXPECT_EQ(b.error, "");
  EXPECT_FALSE(b.has_meta);
  EXPECT_EQ(b.sop_class, kCt);
  EXPECT_EQ(b.sop_instance, "1.2.826.0.1.3680043.9.5.3");
  EXPECT_EQ(b.dataset_offset, 0u);

  // No DICOM at all, or no file: an error that names the file.
  const std::string junk = folder_.Path("junk.dcm");
  WriteBytes(junk, std::string(300, 'x'));
  EXPECT_NE(ReadPart10Header(junk).error.find(junk), std::string::npos);
  const std::string missing = folder_.Path("missing.dcm");
  EXPECT_NE(ReadPart10Header(missing).error.find(missing), std::string::npos);
}

TEST_F(Part10FileTest, ReadingAheadAMissingFileDoesNothing) {
  const std::string missing = folder_.Path("missing.dcm");
  ReadAhead(missing);
  ReadHeadersAhead({missing, folder_.Path("also-missing.dcm")});
  EXPECT_NE(ReadPart10Header(missing).error, "");
}

}  // namespace
}  // namespace vantor::dicom
