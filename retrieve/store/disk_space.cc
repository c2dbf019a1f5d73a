#include "retrieve/store/disk_space.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "host/base/failure.h"

namespace vantor {
namespace {

constexpr int32_t kDiskFull = 61;

}  // namespace

uint64_t AvailableSpace(const std::string& fs_path) {
  struct statvfs st {};
  if (::statvfs(fs_path.c_str(), &st) != 0) {
    const int32_t number = FileErrorNumber(errno);
    throw Failure(number, FileErrorText(number));
  }
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

DiskSpaceWait DefaultDiskSpaceWait(std::function<bool()> stopping) {
  DiskSpaceWait wait;
  // Each association waits on its own thread, so a pause holds back only
  // the images that follow on the same association. The second is slept in
  // tenths so that a stopping service is noticed at once.
  wait.pause = [stopping] {
    for (int tenth = 0; tenth < 10 && !stopping(); ++tenth)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  wait.stopping = std::move(stopping);
  return wait;
}

void WaitForDiskSpace(const std::string& fs_path, const DiskSpaceWait& wait) {
  auto pause = [&] {
    wait.pause();
    if (wait.stopping())
      throw Failure(kDiskFull, "Disk full (the service is stopping)");
  };
  uint64_t available = wait.available(fs_path);
  for (int pauses = 0; available < kDiskSpaceMinimum; ++pauses) {
    if (pauses >= wait.max_pauses) throw Failure(kDiskFull, "Disk full");
    pause();
    available = wait.available(fs_path);
  }
  if (available < kDiskSpaceLow) pause();
}

}  // namespace vantor
