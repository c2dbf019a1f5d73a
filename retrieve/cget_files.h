// C-GET file resolution: the image files of a C-GET request, found in the
// archive folder or, failing that, in the mirror.
#ifndef VANTOR_RETRIEVE_CGET_FILES_H_
#define VANTOR_RETRIEVE_CGET_FILES_H_

#include <string>
#include <vector>

#include "dicom/toolkit.h"
#include "host/database.h"

namespace vantor {

// Fills `files` with one path per selected image (file-system paths, already
// translated). Logs its own failures; `files` then holds what was found.
void PrepareSendCGet(Database& db, const dicom::Dataset& identifier,
                     bool bSiemensBug, bool bInternalID,
                     std::vector<std::string>& files);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_CGET_FILES_H_
