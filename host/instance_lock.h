// The single-instance rule: a lock keyed by the exact caption, held for the
// process's life and released by the system when the process ends.
#ifndef VANTOR_HOST_INSTANCE_LOCK_H_
#define VANTOR_HOST_INSTANCE_LOCK_H_

#include <string>

namespace vantor {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock for `caption`; false when another process holds it.
  bool Acquire(const std::string& caption);

 private:
  int fd_ = -1;
};

}  // namespace vantor

#endif  // VANTOR_HOST_INSTANCE_LOCK_H_
