// The service host: start-up, the main loop with its 5 s timer, shutdown.
#ifndef VANTOR_HOST_SERVICE_H_
#define VANTOR_HOST_SERVICE_H_

#include <string>

namespace vantor {

// The process entry: chooses the instance from `command_line`, reads the
// settings, refuses a second instance with the same caption, prepares the
// folders, listens on DCM and runs until SIGTERM or SIGINT. Returns the exit
// code: 0 after a requested stop, 1 after a refusal or a failed start-up.
int Main(const std::string& command_line);

// Creates Associations, Associations/<DCM> (emptied) and Logs under the
// program directory; each step is tried even when an earlier one failed.
void BuildPathes();

}  // namespace vantor

#endif  // VANTOR_HOST_SERVICE_H_
