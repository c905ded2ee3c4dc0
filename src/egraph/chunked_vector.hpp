// An append-only vector stored in fixed-size chunks that never move.
//
// The e-graph's per-id tables hold a million entries and more, and grow while
// rules are applied. A plain vector would copy the whole table each time it
// outgrows its buffer (and touch twice its memory doing so); chunks only add
// memory. Indexing costs one extra load from a small chunk table. Once the
// vector is reserved for more than one chunk, its chunks come from
// allocate_large (huge pages for chunks of 2 MiB and more).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "large_alloc.hpp"

namespace korvane::egraph {

template <class T, unsigned kChunkBits = 16>
class ChunkedVector {
 public:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;

  ChunkedVector() = default;
  ChunkedVector(ChunkedVector&& other) noexcept
      : chunks_(std::move(other.chunks_)),
        size_(std::exchange(other.size_, 0)),
        large_(std::exchange(other.large_, false)) {}
  ChunkedVector& operator=(ChunkedVector&& other) noexcept {
    if (this != &other) {
      destroy_all();
      chunks_ = std::move(other.chunks_);
      size_ = std::exchange(other.size_, 0);
      large_ = std::exchange(other.large_, false);
    }
    return *this;
  }
  ChunkedVector(const ChunkedVector&) = delete;
  ChunkedVector& operator=(const ChunkedVector&) = delete;
  ~ChunkedVector() { destroy_all(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](std::size_t i) { return chunk(i >> kChunkBits)[i & (kChunkSize - 1)]; }
  const T& operator[](std::size_t i) const {
    return chunk(i >> kChunkBits)[i & (kChunkSize - 1)];
  }
  T& back() { return (*this)[size_ - 1]; }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    std::size_t c = size_ >> kChunkBits;
    if (c == chunks_.size()) {
      chunks_.reserve(chunks_.size() + 1);  // so the push below cannot leak the chunk
      chunks_.push_back(Chunk(static_cast<Storage*>(large_ ? allocate_large(kChunkBytes)
                                                         : ::operator new(kChunkBytes, kAlign)),
                              ChunkFree{large_}));
    }
    T* slot = chunk(c) + (size_ & (kChunkSize - 1));
    ::new (static_cast<void*>(slot)) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  void push_back(const T& item) { emplace_back(item); }
  void push_back(T&& item) { emplace_back(std::move(item)); }

  // Makes the chunk table itself large enough for `count` entries, and
  // asks for large chunks from then on if that is more than one chunk.
  void reserve(std::size_t count) {
    chunks_.reserve((count + kChunkSize - 1) >> kChunkBits);
    large_ = large_ || count > kChunkSize;
  }

 private:
  struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
  };
  static constexpr std::size_t kChunkBytes = sizeof(Storage) * kChunkSize;
  static constexpr std::align_val_t kAlign{alignof(Storage)};
  struct ChunkFree {
    bool large;
    void operator()(Storage* chunk) const {
      if (large) {
        free_large(chunk, kChunkBytes);
      } else {
        ::operator delete(chunk, kAlign);
      }
    }
  };
  using Chunk = std::unique_ptr<Storage[], ChunkFree>;

  T* chunk(std::size_t c) const { return std::launder(reinterpret_cast<T*>(chunks_[c].get())); }

  void destroy_all() {
    for (std::size_t i = size_; i > 0; --i) (*this)[i - 1].~T();
    chunks_.clear();
    size_ = 0;
  }

  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
  bool large_ = false;
};

}  // namespace korvane::egraph
