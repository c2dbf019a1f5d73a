// Images received straight into the incoming folder: the syntax the
// service stores images in, and the file an announced image is written
// into as it arrives when it can be stored as it is.
#ifndef VANTOR_RETRIEVE_STORE_RECEPTION_FILE_H_
#define VANTOR_RETRIEVE_STORE_RECEPTION_FILE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"

namespace vantor {

// The syntax images are stored in unless their modality asks for another:
// JPEG lossless with `Compress`, else implicit little endian.
std::string StoredSyntax(const Config& config);

// The temporary file in the incoming folder that an image announced for
// `sop_instance` in `transfer_syntax` is received into: when it is stored
// in that syntax (`as_stored`), or, without `Compress`, when it arrives in
// explicit little endian (rewritten from the file into implicit little
// endian). No file (the image is received in memory): another syntax, a
// UID that cannot name a file (the image is refused), or less than
// kDiskSpaceLow free in the folder (the image waits for room in memory, as
// it always did). `available` tells the free bytes of a folder.
dicom::ReceptionTarget ReceptionFilePath(
    const Config& config, const std::string& sop_instance,
    const std::string& transfer_syntax,
    const std::function<uint64_t(const std::string&)>& available);
dicom::ReceptionTarget ReceptionFilePath(const Config& config,
                                         const std::string& sop_instance,
                                         const std::string& transfer_syntax);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_RECEPTION_FILE_H_
