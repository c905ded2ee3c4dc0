#include "large_alloc.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvane {

namespace {
// Blocks are aligned to at least a cache line, which covers every table's
// element type (class records are cache-line aligned).
constexpr std::align_val_t kLineAlignment{64};
}  // namespace

void* allocate_large(std::size_t bytes) {
  if (bytes < kHugePageBytes) return ::operator new(bytes == 0 ? 1 : bytes, kLineAlignment);
  // aligned_alloc wants a multiple of the alignment.
  const std::size_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  void* block = std::aligned_alloc(kHugePageBytes, rounded);
  if (block == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(block, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  return block;
}

void free_large(void* block, std::size_t bytes) noexcept {
  if (bytes < kHugePageBytes) {
    ::operator delete(block, kLineAlignment);
  } else {
    std::free(block);
  }
}

}  // namespace korvane
