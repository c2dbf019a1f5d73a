// Programs a test runs beside the service (storescp destinations, senders),
// and the service's children as /proc shows them.
#ifndef VANTOR_TESTS_SUPPORT_PROCESSES_H_
#define VANTOR_TESTS_SUPPORT_PROCESSES_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace vantor {

// Starts `args` (args[0] a path) with TCP_NODELAY=1 and a bare PATH, its
// standard input and output on /dev/null; it is killed when the test binary
// ends. The caller waits for it (or kills it).
pid_t SpawnQuiet(std::vector<std::string> args);

// A program run in the background for the length of a test: SIGTERM (then
// SIGKILL after 2 s) and reaped with the object.
class Background {
 public:
  explicit Background(std::vector<std::string> args)
      : pid_(SpawnQuiet(std::move(args))) {}
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// The processes named `name` (as in /proc/<pid>/stat) whose parent is
// `parent`; ended ones not yet collected (zombies) only when `zombies`.
std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string& name,
                                 bool zombies);

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_PROCESSES_H_
