#include "net/event_loop.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/net/net_test_util.h"

namespace vantor {
namespace {

using std::chrono::milliseconds;
using ::testing::ElementsAre;

// A pipe whose read end is readable once something is written.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void Put() { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
  void Take() {
    char c;
    (void)!::read(fds[0], &c, 1);
  }
  int in() const { return fds[0]; }
  int fds[2];
};

TEST(EventLoopTest, TimersRunOnceUnlessStopped) {
  EventLoop loop;
  std::vector<std::string> ran;
  loop.StartTimer(milliseconds(10), [&] { ran.push_back("first"); });
  EventLoop::TimerId stopped =
      loop.StartTimer(milliseconds(10), [&] { ran.push_back("stopped"); });
  ASSERT_NE(stopped, 0u);
  loop.StopTimer(stopped);
  // A timer may start the next one from its handler.
  loop.StartTimer(milliseconds(20), [&] {
    ran.push_back("second");
    loop.StartTimer(milliseconds(1), [&] { ran.push_back("third"); });
  });
  ASSERT_TRUE(RunUntil(loop, [&] { return ran.size() == 3; }));
  RunUntil(
      loop, [] { return false; }, milliseconds(50));
  EXPECT_THAT(ran, ElementsAre("first", "second", "third"));
  EXPECT_EQ(loop.size(), 0u);
}

TEST(EventLoopTest, AWatchRemovedByAnEarlierHandlerDoesNotRun) {
  EventLoop loop;
  Pipe a, b;
  std::vector<int> ran;
  // Whichever runs first removes the other.
  loop.Watch(a.in(), EventLoop::kReadable, [&](uint32_t) {
    ran.push_back(1);
    a.Take();
    loop.Unwatch(b.in());
  });
  loop.Watch(b.in(), EventLoop::kReadable, [&](uint32_t) {
    ran.push_back(2);
    b.Take();
    loop.Unwatch(a.in());
  });
  a.Put();
  b.Put();
  EXPECT_EQ(loop.RunOnce(milliseconds(1000)), 1);
  EXPECT_EQ(ran.size(), 1u);
  EXPECT_EQ(loop.size(), 1u);
}

TEST(EventLoopTest, ANestedPassSkipsTheRunningHandler) {
  EventLoop loop;
  Pipe a, b;
  std::vector<std::string> ran;
  loop.Watch(a.in(), EventLoop::kReadable, [&](uint32_t ready) {
    EXPECT_TRUE(ready & EventLoop::kReadable);
    ran.push_back("a");
    // Still readable: the nested pass must not run this handler again.
    loop.RunPending();
    a.Take();
  });
  loop.Watch(b.in(), EventLoop::kReadable, [&](uint32_t) {
    ran.push_back("b");
    b.Take();
  });
  a.Put();
  ASSERT_TRUE(RunUntil(loop, [&] { return !ran.empty(); }));
  b.Put();
  // b becomes ready while a's handler runs its nested pass next time.
  a.Put();
  ASSERT_TRUE(RunUntil(loop, [&] { return ran.size() >= 3; }));
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "a"), 2);
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "b"), 1);
}

}  // namespace
}  // namespace vantor
