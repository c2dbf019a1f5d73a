// File helpers every floor may use.
#ifndef VANTOR_HOST_BASE_FILES_H_
#define VANTOR_HOST_BASE_FILES_H_

#include <string>

namespace vantor {

// Deletes every file matching `path` ("\" at the end means every file of
// that folder), read-only files included; folders are not touched. A pattern
// that matches nothing is logged under "DateienLoeschen".
void DateienLoeschen(const std::string& path);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_FILES_H_
