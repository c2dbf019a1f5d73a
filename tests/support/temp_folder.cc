#include "tests/support/temp_folder.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace vantor {

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& name) : owner_(::getpid()) {
  std::string pattern =
      (fs::temp_directory_path() / ("vantor-" + name + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::system_error(errno, std::generic_category(),
                            "mkdtemp " + pattern);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  if (::getpid() != owner_) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace vantor
