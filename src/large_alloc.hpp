// Memory for large tables that are read at random.
//
// A reduction's biggest tables (the e-graph's class records, its union-find
// and hash-cons) are hundreds of megabytes for a few million nodes, and every
// lookup lands on a page of its own. With 4 KiB pages nearly each such read
// also misses the TLB; backed by 2 MiB pages where the system allows it (Linux
// transparent huge pages, on request), most of that cost goes. Blocks below
// 2 MiB are ordinary allocations, so small tables stay small.
#pragma once

#include <cstddef>
#include <new>

namespace korvane {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Uninitialized memory for `bytes` bytes, aligned to at least 64 bytes; blocks
// of 2 MiB and more are aligned to 2 MiB and advised for huge pages. Throws
// std::bad_alloc.
void* allocate_large(std::size_t bytes);
// Frees a block from allocate_large of the same size.
void free_large(void* block, std::size_t bytes) noexcept;

// A standard allocator over allocate_large, for vectors that grow large.
template <class T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return static_cast<T*>(allocate_large(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { free_large(p, n * sizeof(T)); }

  template <class U>
  friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) {
    return true;
  }
};

}  // namespace korvane
