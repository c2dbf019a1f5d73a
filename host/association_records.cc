#include "host/association_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/log.h"
#include "host/base/paths.h"

namespace vantor {
namespace {

bool IsRecordName(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

struct Record {
  int64_t changed_ns;
  std::string name;
};

// Closes the folder whatever happens.
class Folder {
 public:
  explicit Folder(const std::string& path) : dir_(::opendir(path.c_str())) {
    if (dir_ == nullptr) {
      const int err = errno;
      ThrowFileError(err, path);
    }
  }
  ~Folder() { ::closedir(dir_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  DIR* dir() const { return dir_; }
  int fd() const { return ::dirfd(dir_); }

 private:
  DIR* dir_;
};

}  // namespace

size_t PruneAssociationRecords(const std::string& folder, size_t keep_newest,
                               std::chrono::seconds keep_age,
                               std::chrono::system_clock::time_point now) {
  Folder dir(folder);
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir.dir())) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (IsRecordName(entry->d_name)) names.emplace_back(entry->d_name);
  }
  if (names.size() <= keep_newest) return 0;

  std::vector<Record> records;
  records.reserve(names.size());
  for (std::string& name : names) {
    struct stat st {};
    if (::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    records.push_back({static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                           st.st_mtim.tv_nsec,
                       std::move(name)});
  }
  if (records.size() <= keep_newest) return 0;

  // The newest `keep_newest` to the front, the rest in no order.
  auto newer = [](const Record& a, const Record& b) {
    return a.changed_ns > b.changed_ns;
  };
  std::nth_element(records.begin(),
                   records.begin() + static_cast<ptrdiff_t>(keep_newest),
                   records.end(), newer);
  const int64_t cutoff_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          (now - keep_age).time_since_epoch())
          .count();
  size_t removed = 0;
  for (size_t i = keep_newest; i < records.size(); ++i) {
    if (records[i].changed_ns >= cutoff_ns) continue;
    if (::unlinkat(dir.fd(), records[i].name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

void PruneAssociationFolder() noexcept {
  GuardVoid("PruneAssociationRecords", [] {
    const std::string folder =
        InProgramDir("Associations/" + std::to_string(Settings()->DCM));
    size_t removed =
        PruneAssociationRecords(folder, kKeepNewestRecords, kKeepRecordAge,
                                std::chrono::system_clock::now());
    if (removed > 0)
      DebugLogWrite(std::to_string(removed) + " association records removed",
                    "PruneAssociationRecords");
  });
}

}  // namespace vantor
