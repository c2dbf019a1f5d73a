#include "tests/support/test_images.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmjpeg/djdecode.h>

#include <mutex>
#include <stdexcept>

namespace vantor {
namespace {

void RegisterDecoders() {
  static std::once_flag once;
  std::call_once(once, [] { DJDecoderRegistration::registerCodecs(); });
}

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
  ds.putAndInsertUint16(DCM_SamplesPerPixel, 1);
  ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(image.rows));
  ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(image.columns));
  ds.putAndInsertUint16(DCM_BitsAllocated, 16);
  ds.putAndInsertUint16(DCM_BitsStored, 16);
  ds.putAndInsertUint16(DCM_HighBit, 15);
  ds.putAndInsertUint16(DCM_PixelRepresentation, 0);
  std::vector<Uint16> pixels(static_cast<size_t>(image.rows) * image.columns);
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<Uint16>((i * 7919u) ^ (i << 5));
  if (ds.putAndInsertUint16Array(DCM_PixelData, pixels.data(),
                                 static_cast<unsigned long>(pixels.size()))
          .bad())
    throw std::runtime_error("cannot put the pixel data");
  OFCondition cond = file.saveFile(path.c_str(), EXS_LittleEndianExplicit);
  if (cond.bad())
    throw std::runtime_error("cannot write " + path + ": " + cond.text());
}

std::string FileTransferSyntax(const std::string& path) {
  DcmFileFormat file;
  if (file.loadFile(path.c_str()).bad()) return "";
  OFString uid;
  file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid);
  return uid.c_str();
}

std::vector<uint16_t> DecodedPixels(const std::string& path) {
  RegisterDecoders();
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

}  // namespace vantor
