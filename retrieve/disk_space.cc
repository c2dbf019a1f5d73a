#include "retrieve/disk_space.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "host/failure.h"

namespace vantor {
namespace {

constexpr int32_t kDiskFull = 61;

}  // namespace

uint64_t AvailableSpace(const std::string& fs_path) {
  struct statvfs st {};
  if (::statvfs(fs_path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      throw Failure(kPathNotFound, "Path not found");
    throw Failure(kPathFileAccessError, "Path/File access error");
  }
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

DiskSpaceWait DefaultDiskSpaceWait() {
  DiskSpaceWait wait;
  // Each association waits on its own thread, so a pause holds back only
  // the images that follow on the same association.
  wait.pause = [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
  return wait;
}

void WaitForDiskSpace(const std::string& fs_path, const DiskSpaceWait& wait) {
  uint64_t available = wait.available(fs_path);
  for (int pauses = 0; available < kDiskSpaceMinimum; ++pauses) {
    if (pauses >= wait.max_pauses) throw Failure(kDiskFull, "Disk full");
    wait.pause();
    available = wait.available(fs_path);
  }
  if (available < kDiskSpaceLow) wait.pause();
}

}  // namespace vantor
