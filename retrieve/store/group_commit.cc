#include "retrieve/store/group_commit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "host/base/failure.h"
#include "host/base/files.h"

namespace vantor {

struct GroupCommit::Entry {
  const IncomingImageFiles* files = nullptr;
  bool done = false;
  bool failed = false;
  FailureInfo failure{0, ""};
  // Within the batch that carries it.
  int side_fd = -1;
  int image_fd = -1;
  bool renamed = false;

  void Fail(int err) {
    if (failed) return;
    failed = true;
    Failure f = FileError(err);
    failure = {f.number(), f.what()};
  }
};

DiskFlushes SystemDiskFlushes() {
  DiskFlushes flushes;
  flushes.file = [](int fd, const std::string&) {
    return ::fdatasync(fd) == 0 ? 0 : errno;
  };
  flushes.folder = [](int fd, const std::string&) {
    int err = ::fsync(fd) == 0 ? 0 : errno;
    // Some file systems cannot flush a folder; their renames are as durable
    // as they get.
    return err == EINVAL || err == ENOTSUP ? 0 : err;
  };
  return flushes;
}

GroupCommit::GroupCommit(std::string folder, DiskFlushes flushes)
    : folder_(std::move(folder)), flushes_(std::move(flushes)) {}

size_t GroupCommit::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

size_t GroupCommit::Batches() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return batches_;
}

void GroupCommit::Commit(const IncomingImageFiles& files) {
  Entry entry;
  entry.files = &files;
  std::unique_lock<std::mutex> lock(mutex_);
  pending_.push_back(&entry);
  while (!entry.done) {
    if (flushing_) {
      done_.wait(lock);
      continue;
    }
    // No batch is on the disk: this thread takes everything gathered so
    // far (its own image among it) to the disk.
    flushing_ = true;
    std::vector<Entry*> batch;
    batch.swap(pending_);
    ++batches_;
    lock.unlock();
    GuardWith([&] { Flush(batch); },
              [&](const FailureInfo& info) {
                for (Entry* e : batch) {
                  if (e->failed) continue;
                  e->failed = true;
                  e->failure = info;
                }
              });
    lock.lock();
    for (Entry* e : batch) e->done = true;
    flushing_ = false;
    done_.notify_all();
  }
  lock.unlock();
  if (entry.failed)
    throw Failure(entry.failure.number, entry.failure.description);
}

void GroupCommit::Flush(std::vector<Entry*>& batch) {
  auto open_file = [](Entry& e, const PendingFile* file, int& fd) {
    if (e.failed) return;
    fd = ::open(file->path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      e.Fail(errno);
      return;
    }
    // Starts the writing out, so that the batch's files go to the disk
    // together; the flush below waits for them and reports what failed.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  };
  for (Entry* e : batch) {
    open_file(*e, e->files->side, e->side_fd);
    open_file(*e, e->files->image, e->image_fd);
  }
  // Waits until the batch's data has been written, so that the first flush
  // below finds every file's size to record and the journal carries them
  // all in one commit; the flushes after it find little left to do.
  for (Entry* e : batch) {
    for (int fd : {e->side_fd, e->image_fd}) {
      if (fd >= 0)
        ::sync_file_range(fd, 0, 0,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
    }
  }
  auto flush_file = [&](Entry& e, const PendingFile* file, int& fd) {
    if (fd < 0) return;
    if (!e.failed) {
      if (int err = flushes_.file(fd, file->path()); err != 0) e.Fail(err);
    }
    ::close(fd);
    fd = -1;
  };
  for (Entry* e : batch) {
    flush_file(*e, e->files->side, e->side_fd);
    flush_file(*e, e->files->image, e->image_fd);
  }

  bool any_renamed = false;
  for (Entry* e : batch) {
    if (e->failed) continue;
    bool side_renamed = false;
    GuardWith(
        [&] {
          // The side file comes first, so the importer finds it with the
          // image.
          e->files->side->CommitAs(e->files->side_final);
          side_renamed = true;
          e->files->image->CommitAs(e->files->image_final);
          e->renamed = true;
          any_renamed = true;
        },
        [&](const FailureInfo& info) {
          // No side file names an image that is not there.
          if (side_renamed) ::unlink(e->files->side_final.c_str());
          e->failed = true;
          e->failure = info;
        });
  }
  if (!any_renamed) return;

  int err = 0;
  int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
  } else {
    err = flushes_.folder(fd, folder_);
    ::close(fd);
  }
  if (err == 0) return;
  for (Entry* e : batch)
    if (e->renamed) e->Fail(err);
}

GroupCommit& GroupCommitFor(const std::string& folder) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<GroupCommit>> commits;
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<GroupCommit>& commit = commits[folder];
  if (!commit) commit = std::make_unique<GroupCommit>(folder);
  return *commit;
}

}  // namespace vantor
