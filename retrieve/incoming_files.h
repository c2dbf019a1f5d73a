// Writing into the incoming folder so that every file appears whole or not at
// all: each is written under a hidden temporary name (".<uid>.<n>.part"),
// flushed to the disk, and renamed to its final name.
#ifndef VANTOR_RETRIEVE_INCOMING_FILES_H_
#define VANTOR_RETRIEVE_INCOMING_FILES_H_

#include <functional>
#include <string>
#include <vector>

namespace vantor {

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

// Creates or replaces `path` with `text`. Throws a Failure when it cannot.
void WriteText(const std::string& path, const std::string& text);

// Flushes the files' contents to the disk. Throws a Failure when one cannot
// be opened or flushed.
void SyncFiles(const std::vector<std::string>& paths);

// Flushes the folder's entries (the renames) to the disk. Throws a Failure
// when it cannot.
void SyncFolder(const std::string& folder);

// The side file `stem`.cae with `calling_aet` and CR LF, and the image file
// `image_name` written by `write_image(path)`, both in `folder` (ending in
// "/"), both on the disk when it returns. On failure neither is created or
// replaced and the Failure is thrown.
void StoreIncomingFiles(
    const std::string& folder, const std::string& stem,
    const std::string& calling_aet, const std::string& image_name,
    const std::function<void(const std::string&)>& write_image);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_INCOMING_FILES_H_
