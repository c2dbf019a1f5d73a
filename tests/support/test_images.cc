#include "tests/support/test_images.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "dicom/toolkit/toolkit.h"

namespace vantor {
namespace {

void Put(DcmDataset& ds, const DcmTagKey& key, const std::string& value) {
  if (ds.putAndInsertString(key, value.c_str()).bad())
    throw std::runtime_error("cannot put " +
                             std::string(key.toString().c_str()));
}

}  // namespace

void WriteTestImage(const std::string& path, const TestImage& image) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  Put(ds, DCM_SOPClassUID, image.sop_class_uid);
  Put(ds, DCM_SOPInstanceUID, image.sop_instance_uid);
  Put(ds, DCM_Modality, image.modality);
  Put(ds, DCM_PatientID, image.patient_id);
  Put(ds, DCM_PatientName, image.patient_name);
  Put(ds, DCM_StudyInstanceUID, image.study_uid);
  Put(ds, DCM_SeriesInstanceUID, image.series_uid);
  Put(ds, DCM_PhotometricInterpretation, "MONOCHROME2");
  for (const auto& [keyword, value] : image.extra) {
    DcmTag key;
    if (DcmTag::findTagFromName(keyword.c_str(), key).bad())
      throw std::runtime_error("no attribute named " + keyword);
    Put(ds, key, value);
  }
  const int bits = image.bits_allocated;
  ds.putAndInsertUint16(DCM_SamplesPerPixel,
                        static_cast<Uint16>(image.samples_per_pixel));
  if (image.samples_per_pixel == 3) {
    Put(ds, DCM_PhotometricInterpretation, "RGB");
    ds.putAndInsertUint16(DCM_PlanarConfiguration, 0);
  }
  if (image.frames > 1)
    Put(ds, DCM_NumberOfFrames, std::to_string(image.frames));
  ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(image.rows));
  ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(image.columns));
  ds.putAndInsertUint16(DCM_BitsAllocated, static_cast<Uint16>(bits));
  ds.putAndInsertUint16(DCM_BitsStored, static_cast<Uint16>(bits));
  ds.putAndInsertUint16(DCM_HighBit, static_cast<Uint16>(bits - 1));
  ds.putAndInsertUint16(DCM_PixelRepresentation, 0);
  const std::string bytes = TestImagePixelBytes(image);
  OFCondition put =
      bits == 8
          ? ds.putAndInsertUint8Array(
                DCM_PixelData, reinterpret_cast<const Uint8*>(bytes.data()),
                static_cast<unsigned long>(bytes.size()))
          : ds.putAndInsertUint16Array(
                DCM_PixelData, reinterpret_cast<const Uint16*>(bytes.data()),
                static_cast<unsigned long>(bytes.size() / 2));
  if (put.bad()) throw std::runtime_error("cannot put the pixel data");
  const E_TransferSyntax xfer =
      DcmXfer(image.transfer_syntax.c_str()).getXfer();
  if (xfer == EXS_Unknown)
    throw std::runtime_error("unknown syntax " + image.transfer_syntax);
  if (DcmXfer(xfer).isEncapsulated()) {
    dicom::InitializeToolkit();
    if (ds.chooseRepresentation(xfer, nullptr).bad() || !ds.canWriteXfer(xfer))
      throw std::runtime_error("cannot compress to " + image.transfer_syntax);
  }
  OFCondition cond = file.saveFile(path.c_str(), xfer);
  if (cond.bad())
    throw std::runtime_error("cannot write " + path + ": " + cond.text());
}

std::string TestImagePixelBytes(const TestImage& image, int frame) {
  const size_t count = static_cast<size_t>(image.rows) * image.columns;
  const int samples = image.samples_per_pixel;
  const size_t width = image.bits_allocated == 8 ? 1 : 2;
  std::string out;
  for (int f = frame < 0 ? 0 : frame;
       f < (frame < 0 ? image.frames : frame + 1); ++f) {
    for (size_t i = 0; i < count; ++i) {
      for (int s = 0; s < samples; ++s) {
        if (width == 1) {
          out += static_cast<char>((i * 7 + (i >> 4) * 13 + f * 29 + s * 85) &
                                   0xFF);
        } else {
          const Uint16 v = static_cast<Uint16>(((i * 7919u) ^ (i << 5)) +
                                               f * 4099u + s * 21845u);
          out += static_cast<char>(v & 0xFF);
          out += static_cast<char>(v >> 8);
        }
      }
    }
  }
  return out;
}

std::string FileTransferSyntax(const std::string& path) {
  DcmFileFormat file;
  if (file.loadFile(path.c_str()).bad()) return "";
  OFString uid;
  file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid);
  return uid.c_str();
}

std::vector<uint16_t> DecodedPixels(const std::string& path) {
  // All the service's codecs: JPEG, JPEG-LS and RLE.
  dicom::InitializeToolkit();
  DcmFileFormat file;
  if (file.loadFile(path.c_str()).bad()) return {};
  DcmDataset& ds = *file.getDataset();
  if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
    return {};
  const Uint16* data = nullptr;
  unsigned long count = 0;
  if (ds.findAndGetUint16Array(DCM_PixelData, data, &count).bad() ||
      data == nullptr)
    return {};
  return std::vector<uint16_t>(data, data + count);
}

std::string DecodedPixelBytes(const std::string& path) {
  dicom::InitializeToolkit();
  DcmFileFormat file;
  if (file.loadFile(path.c_str()).bad()) return {};
  DcmDataset& ds = *file.getDataset();
  if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
    return {};
  DcmElement* el = nullptr;
  if (ds.findAndGetElement(DCM_PixelData, el).bad() || el == nullptr) return {};
  const Uint32 length = el->getLength(EXS_LittleEndianExplicit);
  std::string out(length, '\0');
  if (length > 0 &&
      el->getPartialValue(out.data(), 0, length, nullptr, EBO_LittleEndian)
          .bad())
    return {};
  return out;
}

void ClaimPixelDataLength(const std::string& path, uint32_t length) {
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  // Tag (7FE0,0010), "OW" or "OB", two reserved bytes, the 4-byte length.
  const size_t tag_at = bytes.rfind(std::string("\xE0\x7F\x10\x00", 4));
  if (tag_at == std::string::npos || tag_at + 12 > bytes.size())
    throw std::runtime_error(path + ": no pixel data at the end");
  const size_t length_at = tag_at + 8;
  const unsigned char encoded[4] = {
      static_cast<unsigned char>(length & 0xFF),
      static_cast<unsigned char>((length >> 8) & 0xFF),
      static_cast<unsigned char>((length >> 16) & 0xFF),
      static_cast<unsigned char>(length >> 24)};
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok =
      fd >= 0 &&
      ::pwrite(fd, encoded, 4, static_cast<off_t>(length_at)) == 4 &&
      ::ftruncate(fd, static_cast<off_t>(length_at + 4 + length)) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) throw std::runtime_error(path + ": cannot be rewritten");
}

size_t PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  return 0;
}

}  // namespace vantor
