// The event loop that delivers socket notifications and timer ticks on the
// thread that owns it, one at a time.
//
// The loop is an epoll set. Its owner waits for fd() to become readable (the
// service's main loop polls it next to its signal and timer descriptors) and
// then calls RunPending(), which runs the handlers of whatever is ready.
// Tests and helper threads may use loops of their own with RunOnce().
//
// Handlers may watch, unwatch, start and stop anything, including their own
// registration, and may run RunPending() again (a nested pass skips the
// handler that is running; readiness is level-triggered, so it is reported
// again later). A registration removed before its turn is not run, nor one
// that a nested pass ran already (its readiness may be gone).
//
// A loop is used by one thread only. Copying is disabled.
#ifndef VANTOR_NET_EVENT_LOOP_H_
#define VANTOR_NET_EVENT_LOOP_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

namespace vantor {

class EventLoop {
 public:
  // Readiness flags, for the interest of a watch and for what a handler is
  // told.
  static constexpr uint32_t kReadable = 1;
  static constexpr uint32_t kWritable = 2;
  static constexpr uint32_t kHangUp = 4;  // only reported, always watched
  static constexpr uint32_t kError = 8;   // only reported, always watched

  using Handler = std::function<void(uint32_t ready)>;
  using TimerId = uint64_t;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The descriptor to poll for POLLIN: readable while something is ready.
  int fd() const { return epoll_fd_; }

  // Watches `fd` for `interest`, replacing an earlier watch of it. Returns
  // false when the descriptor cannot be watched. The caller keeps owning the
  // descriptor and must Unwatch() it before closing it.
  bool Watch(int fd, uint32_t interest, Handler handler);
  // Changes the interest of a watched descriptor; false when not watched.
  bool SetInterest(int fd, uint32_t interest);
  // Ends the watch of `fd`; nothing when it is not watched.
  void Unwatch(int fd);
  bool IsWatched(int fd) const;

  // Starts a one-shot timer that runs `handler` once after `delay`. Returns
  // its id (never 0), or 0 when no timer could be made.
  TimerId StartTimer(std::chrono::milliseconds delay,
                     std::function<void()> handler);
  // Stops a timer that has not run yet; nothing otherwise.
  void StopTimer(TimerId id);

  // Runs the handlers of what is ready now, without waiting. Returns how
  // many ran.
  int RunPending();
  // Waits up to `timeout` for something to become ready, then runs it.
  int RunOnce(std::chrono::milliseconds timeout);

  // Number of watches and timers (for tests).
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    int fd = -1;
    bool is_timer = false;
    uint32_t interest = 0;
    bool running = false;
    uint64_t last_pass = 0;  // the pass that ran the handler last
    std::shared_ptr<Handler> handler;
    std::shared_ptr<std::function<void()>> timer_handler;
  };

  uint64_t Add(Entry entry, uint32_t epoll_events);
  void Remove(uint64_t key);

  int epoll_fd_ = -1;
  uint64_t next_key_ = 1;
  uint64_t passes_ = 0;
  std::unordered_map<uint64_t, Entry> entries_;  // key: registration
  std::unordered_map<int, uint64_t> by_fd_;      // watched fd -> key
};

// The loop of the service's main thread; the socket class uses it unless it
// is given another one.
EventLoop& MainEventLoop();

}  // namespace vantor

#endif  // VANTOR_NET_EVENT_LOOP_H_
