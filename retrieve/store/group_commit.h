// Group commit of the incoming folder: the images that concurrent
// associations have written and that wait for the disk at the same moment
// share the flushes that make them durable.
//
// One image is committed when its side file and its image file (both under
// their temporary names) are flushed, both are renamed to their final names
// and the folder's entries are flushed. A commit that arrives while another
// one is flushing waits; when that one ends, everything that has gathered
// meanwhile goes to the disk as one batch: the writing out of every file is
// started first and then waited for (sync_file_range), then each file is
// flushed (fdatasync: the first flush's journal commit records them all),
// the files renamed, and the folder flushed once for the whole batch. With one association each batch holds one image and the flushes
// are those of an image alone; with several they fall per image.
//
// A flush that fails fails exactly the images it covered: a file's flush
// only its image, the folder's flush every image renamed in that batch.
#ifndef VANTOR_RETRIEVE_STORE_GROUP_COMMIT_H_
#define VANTOR_RETRIEVE_STORE_GROUP_COMMIT_H_

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "retrieve/store/incoming_files.h"

namespace vantor {

// The two flushes a commit makes, each returning 0 or the errno of its
// failure. The defaults are fdatasync of a file and fsync of a folder; a
// test puts its own in to make a flush fail.
struct DiskFlushes {
  // `fd` is open on the file `path`.
  std::function<int(int fd, const std::string& path)> file;
  // `fd` is open on the folder `folder`.
  std::function<int(int fd, const std::string& folder)> folder;
};
DiskFlushes SystemDiskFlushes();

// The files of one image, written and waiting to be committed.
struct IncomingImageFiles {
  PendingFile* side = nullptr;  // committed first, as `side_final`
  std::string side_final;
  PendingFile* image = nullptr;
  std::string image_final;
};

class GroupCommit {
 public:
  // `folder` ends in "/".
  explicit GroupCommit(std::string folder,
                       DiskFlushes flushes = SystemDiskFlushes());
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // Makes the image durable under its final names, together with whatever
  // other threads commit at the same moment; returns once it is. Throws the
  // Failure of a flush or rename that covered this image; its files are
  // then not under their final names (except after a failed folder flush,
  // when the renames have happened but cannot be vouched for).
  void Commit(const IncomingImageFiles& files);

  // Commits waiting behind the batch on the disk (for tests that arrange a
  // batch).
  size_t Waiting() const;

  // Batches that have gone to the disk so far.
  size_t Batches() const;

 private:
  struct Entry;
  void Flush(std::vector<Entry*>& batch);

  const std::string folder_;
  const DiskFlushes flushes_;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::vector<Entry*> pending_;
  bool flushing_ = false;
  size_t batches_ = 0;
};

// The group commit of `folder` (ending in "/"), shared by every thread of
// the process that stores there.
GroupCommit& GroupCommitFor(const std::string& folder);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_GROUP_COMMIT_H_
