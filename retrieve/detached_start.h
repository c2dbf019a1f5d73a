// Starting a program that may outlive the service: in a session of its own,
// not waited for, and never left behind as a zombie.
#ifndef VANTOR_RETRIEVE_DETACHED_START_H_
#define VANTOR_RETRIEVE_DETACHED_START_H_

#include <string>
#include <vector>

namespace vantor {

// Starts `program` with `args` (argv[1]...) detached: the program runs in a
// new session, with standard input and output on /dev/null, no other
// inherited descriptors and default signal handling, and is not waited for
// (a background thread collects its end, so it leaves no zombie while this
// process runs). Returns once the program has been executed;
// throws a Failure (53 file not found, 70 permission denied, 75 otherwise)
// when it could not be.
void StartDetached(const std::string& program,
                   const std::vector<std::string>& args);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_DETACHED_START_H_
