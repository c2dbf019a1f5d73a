#include "host/allocator.h"

#include <malloc.h>

#include <cstdlib>

namespace vantor {

void BoundAllocator() noexcept {
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) ::mallopt(M_ARENA_MAX, 2);
  if (std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr)
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

}  // namespace vantor
