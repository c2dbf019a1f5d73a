// The memory allocator's bounds for a service that runs for years with a
// thread per association.
#ifndef VANTOR_HOST_ALLOCATOR_H_
#define VANTOR_HOST_ALLOCATOR_H_

namespace vantor {

// Bounds the C library's allocator: two arenas for all threads (one per
// thread would keep the freed memory of every association that ever ran
// on it), and blocks of 256 KiB and more (images, PDUs) taken from the
// system and given back to it when freed, instead of the threshold the
// allocator raises by itself until such blocks stay in the arenas. The
// environment's MALLOC_ARENA_MAX and MALLOC_MMAP_THRESHOLD_, when set, are
// left to decide.
void BoundAllocator() noexcept;

}  // namespace vantor

#endif  // VANTOR_HOST_ALLOCATOR_H_
