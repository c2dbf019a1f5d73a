// The wait for free space in the incoming folder before an image is written.
#ifndef VANTOR_RETRIEVE_STORE_DISK_SPACE_H_
#define VANTOR_RETRIEVE_STORE_DISK_SPACE_H_

#include <cstdint>
#include <functional>
#include <string>

namespace vantor {

// Below this the image waits; below kDiskSpaceLow it waits one pause more.
inline constexpr uint64_t kDiskSpaceMinimum = 104857600;  // 100 MiB
inline constexpr uint64_t kDiskSpaceLow = 1073741824;     // 1 GiB

// A full disk does not hold an association for ever: after this many pauses
// the image is refused.
inline constexpr int kDiskSpaceMaxPauses = 600;

// The bytes available to the service in the file system of `fs_path`
// (statvfs: available blocks times fragment size). Throws a Failure when the
// folder cannot be examined.
uint64_t AvailableSpace(const std::string& fs_path);

struct DiskSpaceWait {
  // The space available in a folder (a path of this system).
  std::function<uint64_t(const std::string&)> available = AvailableSpace;
  // One pause between two tests (about a second).
  std::function<void()> pause;
  int max_pauses = kDiskSpaceMaxPauses;
  // True once the service is stopping: an image still waiting is refused
  // then, so that the shutdown is not held up by a full disk.
  std::function<bool()> stopping = [] { return false; };
};

// The wait with one-second pauses on the real disk, which end early when
// `stopping` turns true.
DiskSpaceWait DefaultDiskSpaceWait(std::function<bool()> stopping);

// Pauses while less than kDiskSpaceMinimum is available in `fs_path`, then
// once more when less than kDiskSpaceLow is. Throws a Failure (61, "Disk
// full") when the space has not come after `max_pauses` pauses or the
// service stops while the image waits, and whatever the probe throws.
void WaitForDiskSpace(const std::string& fs_path, const DiskSpaceWait& wait);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_DISK_SPACE_H_
