#include "retrieve/send/sender_standby.h"

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

#include "host/base/database.h"
#include "host/base/failure.h"
#include "retrieve/send/sender.h"

namespace vantor {
namespace {

// Opens `ready` on its DBServer; a failure leaves it closed, and the job
// then opens its own connection and reports why that fails.
void OpenQuietly(ReadyDatabase& ready) {
  GuardWith([&] { ready.db.Open(ConnectionText(ready.db_server)); },
            [&](const FailureInfo&) { ready.db.Close(); });
}

}  // namespace

std::optional<std::string> StandbyInput::ReadLine(
    std::chrono::milliseconds idle, const std::function<void()>& on_idle) {
  for (;;) {
    if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (buffer_.size() > kStandbyLineLimit) return std::nullopt;
    if (SendStopRequested()) return std::nullopt;
    pollfd input = {fd_, POLLIN, 0};
    const int ready = ::poll(&input, 1, static_cast<int>(idle.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;  // SIGTERM is looked at above
      return std::nullopt;
    }
    if (ready == 0) {
      on_idle();
      continue;
    }
    char chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

int RunStandby(int input_fd) {
  ReadyDatabase ready;
  const auto reconnect = [&] {
    ready.db.Close();
    OpenQuietly(ready);
  };
  StandbyInput input(input_fd);
  std::optional<std::string> db_server =
      input.ReadLine(kReadyConnectionAge, [] {});
  if (!db_server) return 0;
  ready.db_server = *db_server;
  OpenQuietly(ready);
  std::optional<std::string> job =
      input.ReadLine(kReadyConnectionAge, reconnect);
  if (!job || job->empty()) return 0;
  // "vantor-send" is a sender with a job.
  ::prctl(PR_SET_NAME, "vantor-send", 0, 0, 0);
  return RunSendJob(*job, &ready);
}

}  // namespace vantor
