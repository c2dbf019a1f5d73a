#include "retrieve/detached_start.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "host/base/failure.h"

extern char** environ;

namespace vantor {
namespace {

// Where the child reports a failed exec to us; every descriptor above it is
// closed before the exec.
constexpr int kReportFd = 3;

[[noreturn]] void Fail(int err) {
  throw Failure(FileErrorNumber(err, /*names_a_file=*/true),
                std::strerror(err));
}

// Everything below runs between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, char* const argv[],
                            int input_fd, int null_fd, int report_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  dup2(input_fd >= 0 ? input_fd : null_fd, 0);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  if (report_fd != kReportFd) dup2(report_fd, kReportFd);
  fcntl(kReportFd, F_SETFD, FD_CLOEXEC);
  // Sockets and files of the service stay with the service.
  if (syscall(SYS_close_range, kReportFd + 1, ~0U, 0) != 0) {
    for (int fd = kReportFd + 1; fd < 4096; ++fd) close(fd);
  }
  execve(program, argv, environ);
  int err = errno;
  ssize_t ignored = write(kReportFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

void Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

StartedProgram::~StartedProgram() {
  if (ended_ || pid_ <= 0) return;
  pid_t pid = pid_;
  std::thread([pid] { Reap(pid); }).detach();
}

bool StartedProgram::Ended() {
  if (ended_ || pid_ <= 0) return true;
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  // Collected here, or by nobody else (ECHILD): either way it is gone.
  if (r == pid_ || (r < 0 && errno == ECHILD)) ended_ = true;
  return ended_;
}

void StartedProgram::Terminate() {
  // Not collected yet, so the number still names our child.
  if (!Ended()) ::kill(pid_, SIGTERM);
}

bool StartedProgram::WaitEnded(int seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!Ended()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool StartedProgram::WaitEndedFor(std::chrono::milliseconds most) {
  if (Ended()) return true;
  // Not collected yet, so the number still names our child.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (fd < 0) {
    std::this_thread::sleep_for(most);
  } else {
    pollfd end = {fd, POLLIN, 0};
    while (::poll(&end, 1, static_cast<int>(most.count())) < 0 &&
           errno == EINTR) {
    }
    ::close(fd);
  }
  return Ended();
}

StartedProgram StartDetached(const std::string& program,
                             const std::vector<std::string>& args, int input,
                             bool ends_with_service) {
  const pid_t service = ::getpid();
  std::vector<std::string> texts;
  texts.push_back(program);
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);

  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) Fail(errno);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    int err = errno;
    ::close(null_fd);
    Fail(err);
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    // A session of its own: a stop of the service's process group does not
    // reach it.
    ::setsid();
    if (ends_with_service) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      // The service may have ended before the request took hold.
      if (::getppid() != service) _exit(0);
    }
    ExecChild(argv[0], argv.data(), input, null_fd, report[1]);
  }
  int fork_err = errno;
  ::close(report[1]);
  ::close(null_fd);
  if (child < 0) {
    ::close(report[0]);
    Fail(fork_err);
  }
  // End of file: the program runs. A number: exec failed with it.
  int exec_err = 0;
  ssize_t n;
  while ((n = ::read(report[0], &exec_err, sizeof exec_err)) < 0 &&
         errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof exec_err)) {
    Reap(child);
    Fail(exec_err);
  }
  return StartedProgram(child);
}

}  // namespace vantor
