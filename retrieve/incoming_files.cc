#include "retrieve/incoming_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/failure.h"

namespace vantor {
namespace {

// The failure for the errno of a failed file operation.
[[noreturn]] void ThrowFileFailure(int err) {
  int32_t number = err == ENOENT || err == ENOTDIR ? kPathNotFound
                   : err == EACCES || err == EPERM ? kPermissionDenied
                                                   : kPathFileAccessError;
  throw Failure(number, std::strerror(err));
}

std::string UniqueSuffix() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

PendingFile::PendingFile(const std::string& folder, const std::string& stem)
    : path_(folder + "." + stem + "." + UniqueSuffix() + ".part") {}

PendingFile::~PendingFile() {
  if (!committed_) ::unlink(path_.c_str());
}

void PendingFile::CommitAs(const std::string& final_path) {
  if (::rename(path_.c_str(), final_path.c_str()) != 0) ThrowFileFailure(errno);
  committed_ = true;
}

void WriteText(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) ThrowFileFailure(errno);
  int err = 0;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0 && err == 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno != EINTR) err = errno;
      continue;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) ThrowFileFailure(err);
}

void SyncFiles(const std::vector<std::string>& paths) {
  std::vector<int> fds;
  int err = 0;
  for (const std::string& path : paths) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      err = errno;
      break;
    }
    fds.push_back(fd);
    // Starts the writing out, so that the files go to the disk together
    // instead of one after the other; fsync below waits for them and reports
    // what failed.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  for (int fd : fds) {
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    ::close(fd);
  }
  if (err != 0) ThrowFileFailure(err);
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowFileFailure(errno);
  int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  // Some file systems cannot flush a folder; their renames are as durable
  // as they get.
  if (err != 0 && err != EINVAL && err != ENOTSUP) ThrowFileFailure(err);
}

void StoreIncomingFiles(
    const std::string& folder, const std::string& stem,
    const std::string& calling_aet, const std::string& image_name,
    const std::function<void(const std::string&)>& write_image) {
  PendingFile side(folder, stem);
  PendingFile image(folder, stem);
  WriteText(side.path(), calling_aet + "\r\n");
  write_image(image.path());
  SyncFiles({side.path(), image.path()});
  // The side file comes first, so the importer finds it with the image.
  side.CommitAs(folder + stem + ".cae");
  image.CommitAs(folder + image_name);
  SyncFolder(folder);
}

}  // namespace vantor
