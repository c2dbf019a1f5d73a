// Writing into the incoming folder so that every file appears whole or not at
// all: each is written under a hidden temporary name, flushed to the disk,
// and renamed to its final name.
//
// The temporary name is ".<uid>.<pid>-<n>@<host>.part": the writing
// process's id and its host name tell whose it is, so that the files a crash
// left behind can be told from those another instance sharing the folder is
// writing at that moment (see RemoveStaleTemporaryFiles).
#ifndef VANTOR_RETRIEVE_STORE_INCOMING_FILES_H_
#define VANTOR_RETRIEVE_STORE_INCOMING_FILES_H_

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/base/failure.h"

namespace vantor {

// Whether `uid` may name a file: 1 to 64 characters, components of digits
// separated by single dots.
bool IsFileNameUid(std::string_view uid);

// A new hidden temporary name in `folder` (ending in "/") starting with
// `stem`, unique to this process and host; such names that a crash leaves
// behind are removed by RemoveStaleTemporaryFiles.
std::string TemporaryPath(const std::string& folder, const std::string& stem);

// A temporary file beside its final name; removed again unless committed.
class PendingFile {
 public:
  // `folder` ends in "/"; `stem` starts the hidden name.
  PendingFile(const std::string& folder, const std::string& stem);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return path_; }

  // Renames the file to `final_path` (replacing a file of that name).
  // Throws a Failure when it cannot.
  void CommitAs(const std::string& final_path);

 private:
  std::string path_;
  bool committed_ = false;
};

class GroupCommit;

// The side file `stem`.cae with `calling_aet` and CR LF, and the image file
// `image_name` written by `write_image(path)`, both in `folder` (ending in
// "/"), both on the disk when it returns: committed through `commit`, the
// folder's group commit, or the process's own one for `folder`. On failure
// the Failure is thrown and neither is created or replaced, unless the
// failure was the folder's flush after the renames.
void StoreIncomingFiles(
    const std::string& folder, const std::string& stem,
    const std::string& calling_aet, const std::string& image_name,
    const std::function<void(const std::string&)>& write_image);
void StoreIncomingFiles(
    GroupCommit& commit, const std::string& folder, const std::string& stem,
    const std::string& calling_aet, const std::string& image_name,
    const std::function<void(const std::string&)>& write_image);

// What a temporary name carries.
struct TemporaryName {
  std::string stem;  // the SOP Instance UID
  pid_t pid = 0;
  std::string host;
};

// The parts of `file_name` when it is a temporary name of reception,
// nothing for any other name.
std::optional<TemporaryName> ParseTemporaryName(const std::string& file_name);

// This host's name as temporary names carry it: at most 64 characters of
// letters, digits, "-", "_" and "." (others become "_").
const std::string& TemporaryNameHost();

// Whether the process `pid` of this host may still be writing: every live
// process except this one (before the service receives anything, a file
// carrying its own id was left by an earlier process that had that id).
bool IsOtherLiveProcess(pid_t pid);

// Removes from `folder` (ending in "/") the temporary files of reception
// that an ended process left behind: regular files whose names parse as
// temporary names of this host and whose writer `writer_running` says is
// not running. Final names, other hosts' files and files of a running
// writer are never touched. Returns the names removed.
std::vector<std::string> RemoveStaleTemporaryFiles(
    const std::string& folder,
    const std::function<bool(pid_t)>& writer_running = IsOtherLiveProcess);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_INCOMING_FILES_H_
