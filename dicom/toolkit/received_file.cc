#include "dicom/toolkit/received_file.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/received_image.h"
#include "host/base/failure.h"

namespace vantor::dicom {

std::unique_ptr<ReceivedImage> ReadReceivedFile(const std::string& path) {
  DcmFileFormat file;
  // Values over 4 KB are read from the file only when they are written.
  OFCondition status = file.loadFile(path.c_str(), EXS_Unknown,
                                     EGL_noChange, 4096, ERM_fileOnly);
  if (status.bad())
    throw Failure(kPathFileAccessError,
                  std::string("Not a DICOM file: ") + status.text());
  const std::string syntax = LoadedFileSyntax(file);
  std::unique_ptr<DcmDataset> dataset(file.getAndRemoveDataset());
  if (!dataset)
    throw Failure(kPathFileAccessError, "Not a DICOM file: no data set");
  return std::make_unique<DcmReceivedImage>(std::move(dataset), syntax);
}

}  // namespace vantor::dicom
