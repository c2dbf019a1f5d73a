#include "host/base/files.h"

#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    if (fs_pattern.ends_with(all))
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

Failure FileError(int err) {
  return Failure(FileErrorNumber(err), std::strerror(err));
}

Failure FileError(int err, std::string_view context) {
  std::string text = std::strerror(err);
  text += " (";
  text += context;
  text += ")";
  return Failure(FileErrorNumber(err), text);
}

void ThrowFileError(int err) { throw FileError(err); }

void ThrowFileError(int err, std::string_view context) {
  throw FileError(err, context);
}

int WriteAll(int fd, const void* data, size_t size) noexcept {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

void WriteWholeFile(const std::string& path, std::string_view text) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) ThrowFileError(errno);
  int err = WriteAll(fd, text.data(), text.size());
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) ThrowFileError(err);
}

std::optional<std::string> TryReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

}  // namespace vantor
