// Lock annotations that clang checks (-Wthread-safety): which mutex guards a
// member, which a function needs held or must not hold. Other compilers
// see nothing. Mutex, MutexLock and CondVar are std::mutex,
// std::lock_guard and std::condition_variable with the annotations on,
// so that a member GUARDED_BY a Mutex cannot be reached without it.
#ifndef VANTOR_HOST_BASE_THREAD_ANNOTATIONS_H_
#define VANTOR_HOST_BASE_THREAD_ANNOTATIONS_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VANTOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTOR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VANTOR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VANTOR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VANTOR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VANTOR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) \
  VANTOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) \
  VANTOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) \
  VANTOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VANTOR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS \
  VANTOR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vantor {

class CondVar;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds `mu` for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// A condition variable waited on with a Mutex held. A wait gives the mutex
// up while it sleeps and holds it again when it returns; callers test
// their condition in a loop, under the mutex, where clang sees it.
class CondVar {
 public:
  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  void WaitUntil(Mutex& mu, std::chrono::steady_clock::time_point deadline)
      REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait_until(lock, deadline);
    lock.release();
  }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_THREAD_ANNOTATIONS_H_
