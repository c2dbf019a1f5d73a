#include "net/event_loop.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/base/failure.h"

namespace vantor {
namespace {

// Events taken from the epoll set in one pass.
constexpr int kBatch = 64;

uint32_t ToEpoll(uint32_t interest) {
  uint32_t events = 0;
  if (interest & EventLoop::kReadable) events |= EPOLLIN | EPOLLRDHUP;
  if (interest & EventLoop::kWritable) events |= EPOLLOUT;
  return events;
}

uint32_t FromEpoll(uint32_t events) {
  uint32_t ready = 0;
  if (events & (EPOLLIN | EPOLLRDHUP)) ready |= EventLoop::kReadable;
  if (events & EPOLLOUT) ready |= EventLoop::kWritable;
  if (events & EPOLLHUP) ready |= EventLoop::kHangUp;
  if (events & EPOLLERR) ready |= EventLoop::kError;
  return ready;
}

}  // namespace

EventLoop::EventLoop() : epoll_fd_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_fd_ < 0) throw Failure(kInternalError, std::strerror(errno));
}

EventLoop::~EventLoop() {
  for (auto& [key, entry] : entries_)
    if (entry.is_timer) ::close(entry.fd);
  ::close(epoll_fd_);
}

uint64_t EventLoop::Add(Entry entry, uint32_t epoll_events) {
  const uint64_t key = next_key_++;
  epoll_event ev{};
  ev.events = epoll_events;
  ev.data.u64 = key;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, entry.fd, &ev) != 0) return 0;
  entries_.emplace(key, std::move(entry));
  return key;
}

void EventLoop::Remove(uint64_t key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->second.fd, nullptr);
  if (it->second.is_timer) ::close(it->second.fd);
  entries_.erase(it);
}

bool EventLoop::Watch(int fd, uint32_t interest, Handler handler) {
  Unwatch(fd);
  Entry entry;
  entry.fd = fd;
  entry.interest = interest;
  entry.handler = std::make_shared<Handler>(std::move(handler));
  const uint64_t key = Add(std::move(entry), ToEpoll(interest));
  if (key == 0) return false;
  by_fd_[fd] = key;
  return true;
}

bool EventLoop::SetInterest(int fd, uint32_t interest) {
  auto it = by_fd_.find(fd);
  if (it == by_fd_.end()) return false;
  Entry& entry = entries_.at(it->second);
  if (entry.interest == interest) return true;
  epoll_event ev{};
  ev.events = ToEpoll(interest);
  ev.data.u64 = it->second;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) return false;
  entry.interest = interest;
  return true;
}

void EventLoop::Unwatch(int fd) {
  auto it = by_fd_.find(fd);
  if (it == by_fd_.end()) return;
  const uint64_t key = it->second;
  by_fd_.erase(it);
  Remove(key);
}

bool EventLoop::IsWatched(int fd) const { return by_fd_.count(fd) != 0; }

EventLoop::TimerId EventLoop::StartTimer(std::chrono::milliseconds delay,
                                         std::function<void()> handler) {
  int tfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (tfd < 0) return 0;
  const int64_t ms = delay.count() > 0 ? delay.count() : 1;
  itimerspec spec{};
  spec.it_value.tv_sec = ms / 1000;
  spec.it_value.tv_nsec = (ms % 1000) * 1000000;
  if (::timerfd_settime(tfd, 0, &spec, nullptr) != 0) {
    ::close(tfd);
    return 0;
  }
  Entry entry;
  entry.fd = tfd;
  entry.is_timer = true;
  entry.timer_handler =
      std::make_shared<std::function<void()>>(std::move(handler));
  const uint64_t key = Add(std::move(entry), EPOLLIN);
  if (key == 0) ::close(tfd);
  return key;
}

void EventLoop::StopTimer(TimerId id) {
  auto it = entries_.find(id);
  if (it != entries_.end() && it->second.is_timer) Remove(id);
}

int EventLoop::RunPending() { return RunOnce(std::chrono::milliseconds(0)); }

int EventLoop::RunOnce(std::chrono::milliseconds timeout) {
  epoll_event events[kBatch];
  int n;
  do {
    n = ::epoll_wait(epoll_fd_, events, kBatch,
                     static_cast<int>(timeout.count()));
  } while (n < 0 && errno == EINTR);
  const uint64_t pass = ++passes_;
  int ran = 0;
  for (int i = 0; i < n; ++i) {
    const uint64_t key = events[i].data.u64;
    auto it = entries_.find(key);
    // Removed by an earlier handler of this pass, running further up, or
    // run by a nested pass since this one looked.
    if (it == entries_.end() || it->second.running ||
        it->second.last_pass > pass)
      continue;
    it->second.last_pass = pass;
    ++ran;
    if (it->second.is_timer) {
      // One-shot: gone before its handler runs, so the handler may start
      // a new timer or stop nothing.
      std::shared_ptr<std::function<void()>> handler = it->second.timer_handler;
      Remove(key);
      if (*handler) (*handler)();
      continue;
    }
    std::shared_ptr<Handler> handler = it->second.handler;
    it->second.running = true;
    const uint32_t ready = FromEpoll(events[i].events);
    struct Reset {
      EventLoop* loop;
      uint64_t key;
      ~Reset() {
        auto again = loop->entries_.find(key);
        if (again != loop->entries_.end()) again->second.running = false;
      }
    } reset{this, key};
    if (*handler) (*handler)(ready);
  }
  return ran;
}

EventLoop& MainEventLoop() {
  static EventLoop* loop = new EventLoop;  // lives as long as the process
  return *loop;
}

}  // namespace vantor
