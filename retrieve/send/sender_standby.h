// The sender started ahead of its job (vantor-send --standby): the program
// is loaded, its data dictionary read and its database connection open
// when the service hands it a C-MOVE job, so the C-MOVE does not wait for
// any of that.
//
// The service talks to it on its standard input, two lines ended by LF:
// first the DBServer text to connect to ahead, later the path of the job
// file to carry out. End of input before the job (the service has ended,
// or it replaces this sender) ends it without a job, as does SIGTERM.
#ifndef VANTOR_RETRIEVE_SEND_SENDER_STANDBY_H_
#define VANTOR_RETRIEVE_SEND_SENDER_STANDBY_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace vantor {

// The process name of a sender while it waits (ps, top); it takes the
// name vantor-send once its job has come.
inline constexpr char kStandbyName[] = "vantor-standby";

// The longest line the service writes (a DBServer text or a job path).
inline constexpr size_t kStandbyLineLimit = 64 * 1024;

// How long a connection opened ahead stays unused before it is opened
// afresh: a server or a firewall may drop an idle one.
inline constexpr std::chrono::seconds kReadyConnectionAge{60};

// The lines arriving on a descriptor.
class StandbyInput {
 public:
  explicit StandbyInput(int fd) : fd_(fd) {}

  // The next LF-ended line without its LF, waiting as long as it takes; or
  // nullopt at end of input, on a read error, when a line grows past
  // kStandbyLineLimit or once SIGTERM has asked the sender to stop.
  // `on_idle` runs whenever `idle` passes without input.
  std::optional<std::string> ReadLine(std::chrono::milliseconds idle,
                                      const std::function<void()>& on_idle);

 private:
  int fd_;
  std::string buffer_;  // read, not yet returned
};

// vantor-send --standby: reads the DBServer line and connects, waits for the
// job line (connecting afresh each kReadyConnectionAge while it waits) and
// carries out that job with the connection. Returns the exit code: that of
// the job, or 0 when no job came.
int RunStandby(int input_fd);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_SEND_SENDER_STANDBY_H_
