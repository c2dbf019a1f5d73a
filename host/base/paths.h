// The program directory and the translation of Windows path texts to this
// file system (X:\rest -> <program dir>/drives/x/rest,
// \\host\share\rest -> <program dir>/drives/unc/host/share/rest).
#ifndef VANTOR_HOST_BASE_PATHS_H_
#define VANTOR_HOST_BASE_PATHS_H_

#include <string>
#include <string_view>

namespace vantor {

// Directory of the running executable, links resolved, without trailing "/".
// Tests may override it once with SetProgramDir before any use.
const std::string& ProgramDir();
void SetProgramDir(std::string dir);

// Translates a configured or stored path text to a path of this system.
// A POSIX absolute path is returned unchanged; every "\" becomes "/".
std::string ToFsPath(std::string_view text);

// Program directory + "/" + relative (which uses "/").
std::string InProgramDir(std::string_view relative);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_PATHS_H_
