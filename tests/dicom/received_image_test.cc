// Writing a received image to a file.
#include "dicom/toolkit/received_image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "host/base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

namespace fs = std::filesystem;

constexpr char kImplicitLE[] = "1.2.840.10008.1.2";

std::unique_ptr<DcmReceivedImage> SmallImage() {
  auto ds = std::make_unique<DcmDataset>();
  ds->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
  ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.9.6.1");
  ds->putAndInsertString(DCM_Modality, "CT");
  ds->putAndInsertUint16(DCM_Rows, 8);
  ds->putAndInsertUint16(DCM_Columns, 8);
  ds->putAndInsertUint16(DCM_BitsAllocated, 16);
  ds->putAndInsertUint16(DCM_BitsStored, 16);
  ds->putAndInsertUint16(DCM_HighBit, 15);
  ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
  ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
  ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
  std::vector<Uint16> pixels(64);
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<Uint16>(i * 1000);
  ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
  return std::make_unique<DcmReceivedImage>(std::move(ds),
                                            "1.2.840.10008.1.2.1");
}

class ReceivedImageTest : public ::testing::Test {
 protected:
  TempFolder folder_{"image"};
  const std::string dir_ = folder_.path();
};

TEST_F(ReceivedImageTest, WritesAWholePart10File) {
  const std::string path = dir_ + "/image.dcm";
  SmallImage()->WriteFile(path, true, kImplicitLE);
  EXPECT_EQ(FileTransferSyntax(path), kImplicitLE);
  std::vector<uint16_t> pixels = DecodedPixels(path);
  ASSERT_EQ(pixels.size(), 64u);
  EXPECT_EQ(pixels[63], 63000);
}

TEST_F(ReceivedImageTest, AFullDiskIsAFailureAndNoFileRemains) {
  // A small image fits in any write buffer: only the last flush sees the
  // full disk, and that must not be lost.
  const std::string path = dir_ + "/image.dcm";
  fs::create_symlink("/dev/full", path);
  EXPECT_THROW(SmallImage()->WriteFile(path, true, kImplicitLE), Failure);
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  EXPECT_TRUE(fs::exists("/dev/full"));
}

}  // namespace
}  // namespace vantor::dicom
