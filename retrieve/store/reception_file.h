// Images received straight into the incoming folder: the syntax the
// service stores images in, and the file an announced image is written
// into as it arrives when it can be stored as it is.
#ifndef VANTOR_RETRIEVE_STORE_RECEPTION_FILE_H_
#define VANTOR_RETRIEVE_STORE_RECEPTION_FILE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "host/base/config.h"

namespace vantor {

// The syntax images are stored in unless their modality asks for another:
// JPEG lossless with `Compress`, else implicit little endian.
std::string StoredSyntax(const Config& config);

// The temporary file in the incoming folder that an image announced for
// `sop_instance` in `transfer_syntax` is received into, or "" when it is
// received in memory: when it will be written in another syntax anyway,
// when its UID cannot name a file (it is refused), or when the folder has
// less than kDiskSpaceLow free (the image waits for room in memory, as
// it always did). `available` tells the free bytes of a folder.
std::string ReceptionFilePath(
    const Config& config, const std::string& sop_instance,
    const std::string& transfer_syntax,
    const std::function<uint64_t(const std::string&)>& available);
std::string ReceptionFilePath(const Config& config,
                              const std::string& sop_instance,
                              const std::string& transfer_syntax);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_RECEPTION_FILE_H_
