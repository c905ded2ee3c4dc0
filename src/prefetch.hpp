// Starting a read early: a hint that the cache line holding an address will
// be wanted soon, so that a loop over scattered table entries overlaps their
// memory reads instead of waiting for each in turn.
#pragma once

namespace korvane {

inline void prefetch(const void* address) {
#if defined(__x86_64__)
  // An assembler statement, not __builtin_prefetch: GCC 12 drops the
  // builtin altogether when the address is read from a table of chunks (as
  // the e-graph's class records are), so the hint silently never happens.
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

}  // namespace korvane
