// An image that arrived as a Part 10 file (a STOW-RS part written to disk),
// as the reception path takes images: large values stay in the file until
// the image is written.
#ifndef VANTOR_DICOM_RECEIVED_FILE_H_
#define VANTOR_DICOM_RECEIVED_FILE_H_

#include <memory>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// The image of the Part 10 file at `path`, which must stay until the image
// has been written. Throws a Failure (75, with the toolkit's reason) when
// the file is not DICOM.
std::unique_ptr<ReceivedImage> ReadReceivedFile(const std::string& path);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_RECEIVED_FILE_H_
