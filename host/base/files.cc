#include "host/base/files.h"

#include <glob.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "host/base/failure.h"
#include "host/base/paths.h"

namespace vantor {

namespace fs = std::filesystem;

void DateienLoeschen(const std::string& path) {
  GuardVoid("DateienLoeschen", [&] {
    std::string pattern = path;
    if (!pattern.empty() && pattern.back() == '\\') pattern += "*.*";
    std::string fs_pattern = ToFsPath(pattern);
    // "*.*" matches every file, with or without an extension.
    const std::string all = "/*.*";
    if (fs_pattern.size() >= all.size() &&
        fs_pattern.compare(fs_pattern.size() - all.size(), all.size(), all) ==
            0)
      fs_pattern.replace(fs_pattern.size() - 3, 3, "*");
    glob_t matches{};
    int rc = ::glob(fs_pattern.c_str(), GLOB_NOSORT | GLOB_PERIOD, nullptr,
                    &matches);
    size_t deleted = 0;
    if (rc == 0) {
      for (size_t i = 0; i < matches.gl_pathc; ++i) {
        std::error_code ec;
        if (!fs::is_regular_file(matches.gl_pathv[i], ec)) continue;
        // Forced: the file's own read-only mark does not keep it.
        if (::unlink(matches.gl_pathv[i]) == 0) ++deleted;
      }
    }
    globfree(&matches);
    if (deleted == 0) throw Failure(kFileNotFound, "File not found");
  });
}

}  // namespace vantor
