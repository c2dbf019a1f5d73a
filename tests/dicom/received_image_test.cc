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

#include "dicom/toolkit/implicit_rewrite.h"
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
// Returns where the dataset starts.
size_t WriteReceivedFile(const std::string& path, DcmDataset& ds,
                         const std::string& syntax,
                         const std::string& command_class,
                         const std::string& command_instance,
                         E_EncodingType lengths = EET_ExplicitLength) {
  const std::string dataset_path = path + ".dataset";
  EXPECT_TRUE(ds.saveFile(dataset_path.c_str(),
                          DcmXfer(syntax.c_str()).getXfer(), lengths)
                  .good());
  const std::string header =
      Part10MetaHeader(command_class, command_instance, syntax);
  std::ofstream out(path, std::ios::binary);
  out << header << Bytes(dataset_path);
  fs::remove(dataset_path);
  return header.size();
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
  const std::string header = Part10MetaHeader(kCtClass, kInstance, kImplicitLE);
  {
    std::ofstream out(received, std::ios::binary);
    out << header << Bytes(dataset_path);
  }
  const std::string arrived = Bytes(received);
  std::string why;
  std::unique_ptr<DcmReceivedImage> image = LoadReceivedFile(
      received, header.size(), kImplicitLE, kCtClass, kInstance, why);
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
    const size_t offset = WriteReceivedFile(received, *ds, kImplicitLE,
                                            kCtClass, c.command_instance);
    std::string why;
    std::unique_ptr<DcmReceivedImage> image = LoadReceivedFile(
        received, offset, kImplicitLE, kCtClass, c.command_instance, why);
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

// The dataset of a file as DCMTK prints it, without group lengths, the
// lengths of values, sequences and items, and the delimiters of undefined
// lengths.
std::string Printed(const std::string& path) {
  DcmFileFormat file;
  EXPECT_TRUE(file.loadFile(path.c_str()).good()) << path;
  file.getDataset()->computeGroupLengthAndPadding(EGL_withoutGL,
                                                 EPD_noChange);
  std::ostringstream out;
  file.getDataset()->print(out, DCMTypes::PF_shortenLongTagValues);
  std::string text = out.str();
  // "# 12, 1 ..." comments carry the lengths.
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Delimitation") != std::string::npos) continue;
    if (size_t at = line.find("undefined length"); at != std::string::npos)
      line.replace(at, 9, "explicit");
    kept += line.substr(0, line.find(" #")) + "\n";
  }
  return kept;
}

TEST_F(ReceivedImageTest, ExplicitLittleEndianIsRewrittenAsTheEncoderWouldWriteIt) {
  auto ds = SmallDataset();
  ds->putAndInsertString(DCM_PatientName, "Doe^John");
  ds->putAndInsertString(DCM_StudyDescription, std::string(5000, 'x').c_str());
  // Nested sequences, one item empty, long and short headers inside.
  DcmItem* item = nullptr;
  ASSERT_TRUE(ds->findOrCreateSequenceItem(DCM_ReferencedImageSequence, item, 0)
                  .good());
  item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
  item->putAndInsertString(DCM_ReferencedSOPClassUID, kCtClass);
  DcmItem* inner = nullptr;
  ASSERT_TRUE(item->findOrCreateSequenceItem(DCM_PurposeOfReferenceCodeSequence,
                                             inner, 0)
                  .good());
  inner->putAndInsertString(DCM_CodeValue, "121311");
  inner->putAndInsertString(DCM_LongCodeValue, "a long one");
  ASSERT_TRUE(ds->findOrCreateSequenceItem(DCM_ReferencedImageSequence, item, 1)
                  .good());
  ds->insertEmptyElement(DCM_OtherPatientIDsSequence);
  int n = 0;
  for (E_EncodingType lengths : {EET_ExplicitLength, EET_UndefinedLength}) {
    SCOPED_TRACE(lengths);
    const std::string received = dir_ + "/.x" + std::to_string(n) + ".part";
    const std::string rewritten = dir_ + "/r" + std::to_string(n) + ".dcm";
    const std::string encoded = dir_ + "/e" + std::to_string(n++) + ".dcm";
    const size_t offset = WriteReceivedFile(received, *ds, kExplicitLE,
                                            kCtClass, kInstance, lengths);
    std::string why;
    std::unique_ptr<DcmReceivedImage> image = LoadReceivedFile(
        received, offset, kExplicitLE, kCtClass, kInstance, why);
    ASSERT_TRUE(image) << why;
    image->WriteFile(rewritten, true, kImplicitLE);
    image.reset();
    EXPECT_FALSE(fs::exists(received));
    DcmReceivedImage(std::make_unique<DcmDataset>(*ds), kExplicitLE)
        .WriteFile(encoded, true, kImplicitLE);
    EXPECT_EQ(FileTransferSyntax(rewritten), kImplicitLE);
    EXPECT_EQ(Bytes(rewritten).substr(0, 200), Bytes(encoded).substr(0, 200))
        << "the same meta header";
    EXPECT_EQ(Printed(rewritten), Printed(encoded));
    EXPECT_EQ(DecodedPixels(rewritten), DecodedPixels(encoded));
  }
}

TEST(ImplicitRewriteTest, WhatItDoesNotHandleIsLeftToTheEncoder) {
  auto rewrite = [](const std::string& bytes) {
    std::string out;
    int error = 0;
    RewriteResult r = RewriteAsImplicit(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
        [&](const char* d, size_t n) {
          out.append(d, n);
          return 0;
        },
        error);
    return std::make_pair(r, out);
  };
  const std::string name("\x10\x00\x10\x00PN\x04\x00" "Doe^", 12);
  // The short header keeps its length in 4 bytes.
  EXPECT_EQ(rewrite(name),
            std::make_pair(RewriteResult::kDone,
                           std::string("\x10\x00\x10\x00\x04\x00\x00\x00" "Doe^", 12)));
  // Group lengths go.
  EXPECT_EQ(rewrite(std::string("\x10\x00\x00\x00UL\x04\x00\x0c\x00\x00\x00", 12) +
                    name)
                .second,
            rewrite(name).second);
  const std::string cases[] = {
      // An unknown value representation.
      std::string("\x10\x00\x10\x00ZZ\x04\x00" "Doe^", 12),
      // A value that runs past the end.
      std::string("\x10\x00\x10\x00PN\x08\x00" "Doe^", 12),
      // Undefined length outside a sequence.
      std::string("\xe0\x7f\x10\x00OB\x00\x00\xff\xff\xff\xff", 12),
      // A sequence never closed.
      std::string("\x08\x00\x40\x11SQ\x00\x00\xff\xff\xff\xff", 12),
      // An item outside a sequence; a delimiter closing nothing.
      std::string("\xfe\xff\x00\xe0\x00\x00\x00\x00", 8),
      std::string("\xfe\xff\xdd\xe0\x00\x00\x00\x00", 8),
      // A defined-length sequence longer than what is left.
      std::string("\x08\x00\x40\x11SQ\x00\x00\x10\x00\x00\x00", 12),
      // A truncated header.
      std::string("\x10\x00\x10", 3),
  };
  for (const std::string& bytes : cases)
    EXPECT_EQ(rewrite(bytes).first, RewriteResult::kNotHandled)
        << testing::PrintToString(bytes);
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
    const size_t offset =
        WriteReceivedFile(received, *ds, kImplicitLE, kCtClass, kInstance);
    // The dataset ends inside its pixel data.
    fs::resize_file(received, fs::file_size(received) - 10);
    std::string why;
    EXPECT_FALSE(LoadReceivedFile(received, offset, kImplicitLE, kCtClass,
                                  kInstance, why));
    EXPECT_NE(why.find("does not parse"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(received));
  }
}

}  // namespace
}  // namespace vantor::dicom
