#include "dicom/received_image.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dicom/dataset_impl.h"
#include "host/failure.h"

namespace vantor::dicom {
namespace {

std::string TextOf(DcmDataset& ds, const DcmTagKey& key) {
  OFString value;
  ds.findAndGetOFStringArray(key, value);
  std::string s = value.c_str();
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

E_TransferSyntax XferOf(const std::string& uid) {
  return DcmXfer(uid.c_str()).getXfer();
}

}  // namespace

DcmReceivedImage::DcmReceivedImage(std::unique_ptr<DcmDataset> dataset,
                                   std::string transfer_syntax_uid)
    : dataset_(std::move(dataset)),
      transfer_syntax_uid_(std::move(transfer_syntax_uid)) {}

std::string DcmReceivedImage::PatientID() const {
  return TextOf(*dataset_, DCM_PatientID);
}
std::string DcmReceivedImage::PatientName() const {
  return TextOf(*dataset_, DCM_PatientName);
}
std::string DcmReceivedImage::StudyInstanceUID() const {
  return TextOf(*dataset_, DCM_StudyInstanceUID);
}
std::string DcmReceivedImage::SeriesInstanceUID() const {
  return TextOf(*dataset_, DCM_SeriesInstanceUID);
}
std::string DcmReceivedImage::SOPInstanceUID() const {
  return TextOf(*dataset_, DCM_SOPInstanceUID);
}
std::string DcmReceivedImage::SOPClassUID() const {
  return TextOf(*dataset_, DCM_SOPClassUID);
}

void DcmReceivedImage::SetSOPClassUID(const std::string& uid) {
  if (dataset_->putAndInsertString(DCM_SOPClassUID, uid.c_str()).bad())
    throw Failure(kInvalidProcedureCall, "Invalid procedure call or argument");
  attributes_.reset();
}

std::string DcmReceivedImage::TransferSyntaxUID() const {
  return transfer_syntax_uid_;
}

const Dataset& DcmReceivedImage::Attributes() const {
  if (!attributes_) {
    // The attributes without the pixel data, which no handler reads.
    DcmDataset copy;
    for (unsigned long i = 0; i < dataset_->card(); ++i) {
      DcmElement* el = dataset_->getElement(i);
      if (el == nullptr || el->getTag() == DCM_PixelData) continue;
      copy.insert(static_cast<DcmElement*>(el->clone()), OFTrue);
    }
    attributes_ = std::make_unique<Dataset>(FromDcmDataset(copy));
  }
  return *attributes_;
}

void DcmReceivedImage::WriteFile(const std::string& path, bool part10,
                                 const std::string& uid) {
  E_TransferSyntax target = XferOf(uid);
  if (target == EXS_Unknown)
    throw Failure(kInvalidProcedureCall,
                  "Invalid procedure call or argument (transfer syntax " +
                      uid + ")");
  DcmFileFormat file(dataset_.get());
  DcmDataset* ds = file.getDataset();
  if (uid != transfer_syntax_uid_) {
    OFCondition cond = ds->chooseRepresentation(target, nullptr);
    if (cond.bad() || !ds->canWriteXfer(target))
      throw Failure(kInvalidProcedureCall,
                    std::string("Cannot convert the image to ") + uid + ": " +
                        cond.text());
  }
  OFCondition cond = file.saveFile(
      path.c_str(), target, EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0,
      0, part10 ? EWM_fileformat : EWM_dataset);
  if (cond.bad()) {
    ::unlink(path.c_str());
    throw Failure(kPathFileAccessError,
                  std::string("Path/File access error (") + cond.text() + ")");
  }
}

}  // namespace vantor::dicom
