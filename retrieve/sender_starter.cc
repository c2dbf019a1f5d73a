#include "retrieve/sender_starter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/log.h"
#include "retrieve/move_job.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "SenderStarter";

// Writes all of `text` to the socket `fd`; false when the other end has
// gone (no SIGPIPE either way).
bool SendAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Whether the file `path` holds `marker`.
bool FileHolds(const std::string& path, std::string_view marker) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool found = false;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    const size_t size = static_cast<size_t>(st.st_size);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data != MAP_FAILED) {
      found = ::memmem(data, size, marker.data(), marker.size()) != nullptr;
      ::munmap(data, size);
    }
  }
  ::close(fd);
  return found;
}

}  // namespace

std::optional<SenderStarter::FileIdentity> SenderStarter::IdentityOf(
    const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modified_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL +
                   st.st_mtim.tv_nsec;
  return id;
}

bool SenderStarter::CanWait(const std::string& program,
                            const FileIdentity& identity) {
  if (!checked_ || checked_->first != identity)
    checked_.emplace(identity, FileHolds(program, kStandbyMarker));
  return checked_->second;
}

SenderStarter::~SenderStarter() { Release(); }

void SenderStarter::Close(std::unique_ptr<Waiting>& waiting) {
  if (!waiting) return;
  // End of input: a waiting sender ends; one that has its job goes on.
  if (waiting->input >= 0) ::close(waiting->input);
  waiting.reset();  // collected in the background once it ends
}

void SenderStarter::Release() {
  std::unique_ptr<Waiting> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(waiting_);
  }
  Close(waiting);
}

void SenderStarter::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
  }
  Release();
}

bool SenderStarter::HasWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_ && !waiting_->program.Ended();
}

StartedProgram SenderStarter::Start(const std::string& program,
                                    const std::string& job_path) {
  std::unique_ptr<Waiting> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(waiting_);
  }
  // Only a sender of the program file as it is now takes the job.
  if (waiting && (waiting->program_path != program ||
                  IdentityOf(program) != waiting->identity))
    Close(waiting);
  std::optional<StartedProgram> sender;
  // The job's line must be one line.
  if (waiting && job_path.find('\n') == std::string::npos &&
      !waiting->program.Ended() &&
      SendAll(waiting->input, job_path + "\n")) {
    sender.emplace(std::move(waiting->program));
    ::close(waiting->input);
    waiting.reset();
  } else {
    Close(waiting);
    sender.emplace(StartDetached(program, {job_path}));
  }
  return std::move(*sender);
}

void SenderStarter::Prepare(const std::string& program,
                            const std::string& db_server) {
  GuardWith(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shut_down_) return;
        const std::optional<FileIdentity> identity = IdentityOf(program);
        if (waiting_ && waiting_->program_path == program &&
            identity == waiting_->identity &&
            waiting_->db_server == db_server && !waiting_->program.Ended())
          return;
        Close(waiting_);
        if (!identity || !CanWait(program, *identity)) return;
        // A DBServer text of more than one line cannot be handed over.
        if (db_server.find('\n') != std::string::npos) return;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
          const int err = errno;
          ThrowFileError(err);
        }
        // Both ends are closed here whatever happens, but for ours once it
        // is handed to the waiting sender.
        struct Ends {
          int ours, theirs;
          ~Ends() {
            if (ours >= 0) ::close(ours);
            if (theirs >= 0) ::close(theirs);
          }
        } fds{ends[0], ends[1]};
        StartedProgram started =
            StartDetached(program, {kStandbyArgument}, fds.theirs);
        ::close(fds.theirs);
        fds.theirs = -1;
        if (!SendAll(fds.ours, db_server + "\n")) return;
        waiting_.reset(new Waiting{std::move(started), fds.ours, program,
                                   *identity, db_server});
        fds.ours = -1;
      },
      [&](const FailureInfo& info) {
        DebugLogWrite("No sender started ahead: " + info.description,
                      kProcedure);
      });
}

}  // namespace vantor
