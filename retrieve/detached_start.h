// Starting a program that may outlive the service: in a session of its own,
// followed while the service wants to, and never left behind as a zombie.
#ifndef VANTOR_RETRIEVE_DETACHED_START_H_
#define VANTOR_RETRIEVE_DETACHED_START_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantor {

// A program started by StartDetached. Whoever holds it may follow it
// (Ended, Terminate); once the holder lets it go (destruction), its end is
// collected in the background so that it never lingers as a zombie.
class StartedProgram {
 public:
  explicit StartedProgram(pid_t pid) : pid_(pid) {}
  ~StartedProgram();
  StartedProgram(StartedProgram&& other) noexcept
      : pid_(other.pid_), ended_(other.ended_) {
    other.pid_ = -1;
  }
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  pid_t pid() const { return pid_; }
  // True once the program has ended (its end is collected here).
  bool Ended();
  // Asks the program to stop (SIGTERM). No-op once it has ended.
  void Terminate();
  // Waits at most `seconds` for the end; true when it ended.
  bool WaitEnded(int seconds);
  // Waits at most `most` for the end, returning as soon as it comes; true
  // when it ended.
  bool WaitEndedFor(std::chrono::milliseconds most);

 private:
  pid_t pid_;
  bool ended_ = false;
};

// Starts `program` with `args` (argv[1]...) detached: the program runs in a
// new session, with standard input on `input` (when not -1, else
// /dev/null) and standard output on /dev/null, no other inherited
// descriptors and default signal handling; a stop of the service does not
// reach it. Returns once the program has been executed; throws a Failure
// (53 file not found, 70 permission denied, 75 otherwise) when it could not
// be.
//
// With `ends_with_service`, the program is asked to stop (SIGTERM) as soon
// as the service's thread that started it ends, the service's end by a
// crash or SIGKILL included: work another front may take over must not go
// on behind its back.
StartedProgram StartDetached(const std::string& program,
                             const std::vector<std::string>& args,
                             int input = -1, bool ends_with_service = false);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_DETACHED_START_H_
