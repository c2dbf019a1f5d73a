// C-GET file resolution: the image files of a C-GET request, found in the
// archive folder or, failing that, in the mirror.
#ifndef VANTOR_RETRIEVE_CGET_FILES_H_
#define VANTOR_RETRIEVE_CGET_FILES_H_

#include <string>
#include <string_view>
#include <vector>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"
#include "retrieve/image_files.h"

namespace vantor {

// The statement on VIEW_images for a C-GET identifier. The level plays no
// part: every key present narrows the images. Without a patient name it
// still matches the last name with "%", so patients without a last name are
// never found. Values are quoted so that none can end its literal. Throws a
// Failure for a patient ID that must be an internal key and is no whole
// number.
std::string CGetStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                          bool bInternalID, std::string_view date_format);

// Runs `sql` on `db` and appends one resolved file per row, in row order.
// Throws on a failure of the statement; `files` keeps what was added.
void ResolveCGetFiles(Database& db, const std::string& sql,
                      const FileExists& exists,
                      std::vector<std::string>& files);

// Fills `files` with one path per selected image (file-system paths, already
// translated). Returns false when the images could not be selected (the
// statement could not be made or was rejected, the database is gone): the
// failure is logged and `files` is left empty, since a part of the images is
// no answer to the request.
bool PrepareSendCGet(const dicom::RequestContext& context,
                     const dicom::Dataset& identifier,
                     std::vector<std::string>& files);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_CGET_FILES_H_
