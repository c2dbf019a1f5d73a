// Writing a received image to a file.
#include "dicom/toolkit/received_image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "host/base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

namespace fs = std::filesystem;

constexpr char kImplicitLE[] = "1.2.840.10008.1.2";
constexpr char kExplicitLE[] = "1.2.840.10008.1.2.1";
constexpr char kCtClass[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kInstance[] = "1.2.826.0.1.3680043.9.6.1";

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string MetaValue(const std::string& path, const DcmTagKey& key) {
  DcmMetaInfo meta;
  OFString value;
  if (meta.loadFile(path.c_str()).good())
    meta.findAndGetOFString(key, value);
  return value.c_str();
}

std::unique_ptr<DcmDataset> SmallDataset() {
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
  return ds;
}

std::unique_ptr<DcmReceivedImage> SmallImage() {
  return std::make_unique<DcmReceivedImage>(SmallDataset(), kExplicitLE);
}

// A file as an association leaves it: the meta header made of the
// command's UIDs, then `ds` encoded in `syntax` as the requester sent it.
void WriteReceivedFile(const std::string& path, DcmDataset& ds,
                       const std::string& syntax,
                       const std::string& command_class,
                       const std::string& command_instance) {
  const std::string dataset_path = path + ".dataset";
  ASSERT_TRUE(ds.saveFile(dataset_path.c_str(),
                          DcmXfer(syntax.c_str()).getXfer())
                  .good());
  std::ofstream out(path, std::ios::binary);
  out << Part10MetaHeader(command_class, command_instance, syntax)
      << Bytes(dataset_path);
  fs::remove(dataset_path);
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

TEST_F(ReceivedImageTest, TheMetaHeaderIsTheOneTheFileWriterMakes) {
  const std::string path = dir_ + "/image.dcm";
  SmallImage()->WriteFile(path, true, kImplicitLE);
  const std::string header = Part10MetaHeader(kCtClass, kInstance, kImplicitLE);
  EXPECT_EQ(Bytes(path).substr(0, header.size()), header);
  EXPECT_THROW(Part10MetaHeader(kCtClass, kInstance, "1.2.3.4"), Failure);
}

TEST_F(ReceivedImageTest, AnImageStoredAsItArrivedIsTheReceivedFileItself) {
  const std::string received = dir_ + "/.received.part";
  const std::string stored = dir_ + "/image.dcm";
  auto ds = SmallDataset();
  // Group lengths and an undefined-length sequence: an encoder would
  // change both; the bytes as they arrived keep them.
  DcmItem* item = nullptr;
  ASSERT_TRUE(ds->findOrCreateSequenceItem(DCM_ReferencedImageSequence, item)
                  .good());
  item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
  const std::string dataset_path = dir_ + "/dataset";
  ASSERT_TRUE(ds->saveFile(dataset_path.c_str(), EXS_LittleEndianImplicit,
                           EET_UndefinedLength, EGL_withGL)
                  .good());
  {
    std::ofstream out(received, std::ios::binary);
    out << Part10MetaHeader(kCtClass, kInstance, kImplicitLE)
        << Bytes(dataset_path);
  }
  const std::string arrived = Bytes(received);
  std::string why;
  std::unique_ptr<DcmReceivedImage> image =
      LoadReceivedFile(received, kImplicitLE, kCtClass, kInstance, why);
  ASSERT_TRUE(image) << why;
  EXPECT_EQ(image->SOPInstanceUID(), kInstance);
  EXPECT_EQ(image->Attributes().GetText(0x0008, 0x0060), "CT");
  image->WriteFile(stored, true, kImplicitLE);
  EXPECT_EQ(Bytes(stored), arrived);
  image.reset();
  EXPECT_FALSE(fs::exists(received));
  EXPECT_EQ(Bytes(stored), arrived);
}

TEST_F(ReceivedImageTest, AReceivedFileIsEncodedWhenItCannotStayAsItArrived) {
  struct Case {
    const char* name;
    std::string command_instance = kInstance;
    std::string charset;  // with a Latin-1 name when set
    bool set_class = false;
    std::string target = kImplicitLE;
  };
  const Case cases[] = {
      {"another syntax", kInstance, "", false, kExplicitLE},
      {"the command names another instance", "1.2.826.0.1.3680043.9.6.99",
       "", false, kImplicitLE},
      {"Latin-1 text", kInstance, "ISO_IR 100", false, kImplicitLE},
      {"its class filled in", kInstance, "", true, kImplicitLE},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string received = dir_ + "/.r" + std::to_string(n) + ".part";
    const std::string stored = dir_ + "/s" + std::to_string(n++) + ".dcm";
    auto ds = SmallDataset();
    if (!c.charset.empty()) {
      ds->putAndInsertString(DCM_SpecificCharacterSet, c.charset.c_str());
      ds->putAndInsertString(DCM_PatientName, "M\xfcller^J\xf6rg");
    }
    WriteReceivedFile(received, *ds, kImplicitLE, kCtClass,
                      c.command_instance);
    std::string why;
    std::unique_ptr<DcmReceivedImage> image = LoadReceivedFile(
        received, kImplicitLE, kCtClass, c.command_instance, why);
    ASSERT_TRUE(image) << why;
    if (c.set_class) image->SetSOPClassUID("1.2.840.10008.5.1.4.1.1.7");
    image->WriteFile(stored, true, c.target);
    image.reset();
    EXPECT_FALSE(fs::exists(received));
    EXPECT_EQ(FileTransferSyntax(stored), c.target);
    // The meta header names what the dataset holds.
    EXPECT_EQ(MetaValue(stored, DCM_MediaStorageSOPInstanceUID), kInstance);
    EXPECT_EQ(MetaValue(stored, DCM_MediaStorageSOPClassUID),
              c.set_class ? "1.2.840.10008.5.1.4.1.1.7" : kCtClass);
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(stored.c_str()).good());
    OFString charset, name;
    file.getDataset()->findAndGetOFString(DCM_SpecificCharacterSet, charset);
    file.getDataset()->findAndGetOFString(DCM_PatientName, name);
    if (!c.charset.empty()) {
      EXPECT_EQ(std::string(charset.c_str()), "ISO_IR 192");
      EXPECT_EQ(std::string(name.c_str()), "M\xc3\xbcller^J\xc3\xb6rg");
    }
    ASSERT_EQ(DecodedPixels(stored).size(), 64u);
    EXPECT_EQ(DecodedPixels(stored)[63], 63000);
  }
}

TEST_F(ReceivedImageTest, AReceivedFileThatDoesNotParseIsRefusedAndRemoved) {
  const std::string received = dir_ + "/.received.part";
  // Pixel data read at once, and pixel data left in the file to be read
  // when the image is written.
  for (int side : {8, 100}) {
    SCOPED_TRACE(side);
    auto ds = SmallDataset();
    std::vector<Uint16> pixels(side * side, 7);
    ds->putAndInsertUint16(DCM_Rows, side);
    ds->putAndInsertUint16(DCM_Columns, side);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
    WriteReceivedFile(received, *ds, kImplicitLE, kCtClass, kInstance);
    // The dataset ends inside its pixel data.
    fs::resize_file(received, fs::file_size(received) - 10);
    std::string why;
    EXPECT_FALSE(
        LoadReceivedFile(received, kImplicitLE, kCtClass, kInstance, why));
    EXPECT_NE(why.find("does not parse"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(received));
  }
}

}  // namespace
}  // namespace vantor::dicom
