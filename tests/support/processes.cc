#include "tests/support/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/support/test_env.h"

namespace vantor {

pid_t SpawnQuiet(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The child's environment is made before the fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> env = {"TCP_NODELAY=1", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(null_fd);
  return pid;
}

Background::~Background() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
}

std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string& name,
                                 bool zombies) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string entry = e.path().filename().string();
    if (entry.empty() || entry[0] < '0' || entry[0] > '9') continue;
    const std::string stat = ReadWholeFile(e.path().string() + "/stat");
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (stat.substr(open + 1, close - open - 1) == name &&
        std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
        ppid == parent && (zombies || state != 'Z'))
      found.push_back(static_cast<pid_t>(std::stoi(entry)));
  }
  return found;
}

}  // namespace vantor
