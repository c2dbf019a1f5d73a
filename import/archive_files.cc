#include "import/archive_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/base/failure.h"
#include "host/base/files.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {
namespace {

constexpr char kImageEnd[] = ".dcm";
constexpr char kRenamedEnd[] = ".dcm.ren";
constexpr char kSideEnd[] = ".cae";

// True when `name` ends with `end` and has more before it.
bool NamedWithEnd(std::string_view name, std::string_view end) {
  return name.size() > end.size() && name.ends_with(end);
}

// Renames `from` to `to` unless `to` exists. False when `to` exists or
// `from` does not.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                  RENAME_NOREPLACE) == 0)
    return true;
  if (errno == EEXIST || errno == ENOENT) return false;
  ThrowFileError(errno, from);
}

void MakeFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
    ThrowFileError(errno, folder);
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Creates the missing folders of `folder` (ending in "/"), flushing each new
// one into its parent.
void MakeFolders(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  std::string trimmed = folder;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::string parent = ParentOf(trimmed);
  if (parent != trimmed + "/" && parent != "/") MakeFolders(parent);
  if (::mkdir(trimmed.c_str(), 0755) != 0) {
    if (errno == EEXIST) return;
    ThrowFileError(errno, trimmed);
  }
  FlushFolder(parent);
}

// Copies `source` to the new file `target` and flushes it.
void CopyFlushed(const std::string& source, const std::string& target) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) ThrowFileError(errno, source);
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                   0644);
  if (out < 0) {
    int err = errno;
    ::close(in);
    ThrowFileError(err, target);
  }
  int err = 0;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    err = WriteAll(out, buffer, static_cast<size_t>(n));
    if (err != 0) break;
  }
  if (err == 0 && ::fdatasync(out) != 0) err = errno;
  ::close(in);
  if (::close(out) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(target.c_str());
    ThrowFileError(err, target);
  }
}

}  // namespace

std::string ImportingFolder(const std::string& temp) {
  return temp + "importing/";
}

std::string FailedFolder(const std::string& temp) { return temp + "failed/"; }

std::vector<std::string> ImagesIn(const std::string& folder, bool renamed) {
  std::vector<std::string> uids;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT) return uids;
    ThrowFileError(errno, folder);
  }
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    std::string stem;
    if (NamedWithEnd(name, kImageEnd))
      stem = name.substr(0, name.size() - 4);
    else if (renamed && NamedWithEnd(name, kRenamedEnd))
      stem = name.substr(0, name.size() - 8);
    if (!stem.empty() && IsFileNameUid(stem)) uids.push_back(stem);
  }
  ::closedir(dir);
  return uids;
}

bool ClaimReceived(const std::string& temp, const std::string& uid) {
  const std::string importing = ImportingFolder(temp);
  MakeFolder(importing);
  const std::string target = importing + uid + kImageEnd;
  if (!RenameNoReplace(temp + uid + kImageEnd, target) &&
      !RenameNoReplace(temp + uid + kRenamedEnd, target))
    return false;
  // The side file follows; one left behind by a crash just before this
  // rename is harmless (the image no longer needs it).
  if (::rename((temp + uid + kSideEnd).c_str(),
               (importing + uid + kSideEnd).c_str()) != 0 &&
      errno != ENOENT)
    ThrowFileError(errno, temp + uid + kSideEnd);
  return true;
}

bool IsClaimed(const std::string& temp, const std::string& uid) noexcept {
  struct stat st {};
  return ::stat((ImportingFolder(temp) + uid + kImageEnd).c_str(), &st) == 0;
}

std::string PlaceFile(const std::string& source, const std::string& target) {
  const std::string folder = ParentOf(target);
  MakeFolders(folder);
  const std::string name = target.substr(folder.size());
  // One name per file and host: what a crash between link and rename left
  // is replaced when the image, still claimed, is placed again.
  const std::string temporary =
      folder + "." + name + ".import@" + TemporaryNameHost();
  ::unlink(temporary.c_str());
  if (::link(source.c_str(), temporary.c_str()) != 0) {
    if (errno != EXDEV && errno != EPERM && errno != EMLINK &&
        errno != ENOTSUP)
      ThrowFileError(errno, temporary);
    CopyFlushed(source, temporary);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temporary.c_str());
    ThrowFileError(err, target);
  }
  // Placed again after a crash, the file is a second link of the same
  // claimed file: the rename then leaves both names, and the temporary one
  // goes here.
  ::unlink(temporary.c_str());
  return folder;
}

void FlushFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowFileError(errno, folder);
  int err = ::fsync(fd) != 0 ? errno : 0;
  ::close(fd);
  if (err != 0) ThrowFileError(err, folder);
}

std::string MoveClaimToFailed(const std::string& temp,
                              const std::string& uid) {
  const std::string importing = ImportingFolder(temp);
  const std::string failed = FailedFolder(temp);
  MakeFolder(failed);
  if (::rename((importing + uid + kSideEnd).c_str(),
               (failed + uid + kSideEnd).c_str()) != 0 &&
      errno != ENOENT)
    ThrowFileError(errno, importing + uid + kSideEnd);
  const std::string image = failed + uid + kImageEnd;
  if (::rename((importing + uid + kImageEnd).c_str(), image.c_str()) != 0)
    ThrowFileError(errno, importing + uid + kImageEnd);
  return image;
}

void ReleaseClaim(const std::string& temp, const std::string& uid) noexcept {
  const std::string importing = ImportingFolder(temp);
  ::unlink((importing + uid + kImageEnd).c_str());
  ::unlink((importing + uid + kSideEnd).c_str());
}

bool RemoveFileQuietly(const std::string& path) noexcept {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace vantor
