// Writing to a socket the peer has closed raises SIGPIPE, which would end
// the process (OpenSSL writes with write()). While a SigpipeBlock lives the
// signal is blocked for the thread, and one raised meanwhile is taken off.
#ifndef VANTOR_HOST_BASE_SIGPIPE_BLOCK_H_
#define VANTOR_HOST_BASE_SIGPIPE_BLOCK_H_

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace vantor {

class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    const int saved_errno = errno;
    if (!was_pending_) {
      timespec none{};
      // Each round takes one pending signal off; there is at most one.
      for (int i = 0; i < 4 && sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE;
           ++i) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = saved_errno;
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
};

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_SIGPIPE_BLOCK_H_
