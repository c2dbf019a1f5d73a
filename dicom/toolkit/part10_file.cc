#include "dicom/toolkit/part10_file.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <fcntl.h>
#include <unistd.h>

#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"

namespace vantor::dicom {

std::string LoadedFileSyntax(DcmFileFormat& file) {
  OFString syntax;
  if (file.getMetaInfo() != nullptr &&
      file.getMetaInfo()
          ->findAndGetOFString(DCM_TransferSyntaxUID, syntax)
          .good() &&
      !syntax.empty())
    return syntax.c_str();
  return DcmXfer(file.getDataset()->getOriginalXfer()).getXferID();
}

Part10Header ReadPart10Header(const std::string& path) {
  Part10Header h;
  DcmMetaInfo meta;
  OFString sop_class, sop_instance, syntax;
  if (meta.loadFile(path.c_str()).good()) {
    meta.findAndGetOFString(DCM_MediaStorageSOPClassUID, sop_class);
    meta.findAndGetOFString(DCM_MediaStorageSOPInstanceUID, sop_instance);
    meta.findAndGetOFString(DCM_TransferSyntaxUID, syntax);
  }
  h.has_meta = !sop_class.empty() && !sop_instance.empty() && !syntax.empty();
  if (!h.has_meta) {
    DcmFileFormat file;
    OFCondition cond =
        file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, 4096,
                              ERM_autoDetect, DCM_PixelData);
    if (cond.bad()) {
      h.error = path + ": " + cond.text();
      return h;
    }
    file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sop_class);
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sop_instance);
    syntax = DcmXfer(file.getDataset()->getOriginalXfer()).getXferID();
  }
  if (sop_class.empty()) {
    h.error = path + ": no SOP Class UID";
    return h;
  }
  h.sop_class = sop_class.c_str();
  h.sop_instance = sop_instance.c_str();
  h.transfer_syntax = syntax.c_str();
  return h;
}

Dataset ReadPart10Attributes(const std::string& path,
                             std::string* transfer_syntax) {
  DcmFileFormat file;
  OFCondition cond =
      file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, 4096,
                            ERM_autoDetect, DCM_PixelData);
  if (cond.bad())
    throw Failure(kPathFileAccessError, path + ": " + cond.text());
  DcmDataset& ds = *file.getDataset();
  if (transfer_syntax != nullptr) *transfer_syntax = LoadedFileSyntax(file);
  DecodeToUtf8(ds);
  return FromDcmDataset(ds);
}

void ReadAhead(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
  ::close(fd);
}

}  // namespace vantor::dicom
