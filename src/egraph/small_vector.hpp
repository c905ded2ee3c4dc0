// A vector that keeps its first N elements inside the object.
//
// E-nodes (an operator and a few child ids) and substitutions (a few variable
// bindings) are copied everywhere in the e-graph: into the hash-cons, the
// class node lists, the parent lists and the worklist. Nearly all of them are
// short, so keeping them inline spares one heap allocation per copy.
#pragma once

#include <algorithm>
#include <compare>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace korvane::egraph {

template <class T, std::uint32_t N>
class SmallVector {
  static_assert(N > 0, "a small vector keeps at least one element inline");
  static_assert(std::is_nothrow_move_constructible_v<T>,
                "elements are moved when the buffer grows");

 public:
  using value_type = T;
  using size_type = std::uint32_t;
  using iterator = T*;
  using const_iterator = const T*;
  using reference = T&;
  using const_reference = const T&;

  SmallVector() noexcept {}

  SmallVector(std::initializer_list<T> items) { append(items.begin(), items.end()); }

  template <class It, class = typename std::iterator_traits<It>::iterator_category>
  SmallVector(It first, It last) {
    append(first, last);
  }

  SmallVector(const SmallVector& other) {
    if constexpr (std::is_trivially_copyable_v<T>) {
      // E-nodes are copied into every table that keeps one; a short list of
      // ids is one small copy.
      if (other.size_ <= N) {
        std::memcpy(storage_, other.data(), sizeof(T) * other.size_);
        size_ = other.size_;
        return;
      }
    }
    append(other.begin(), other.end());
  }

  SmallVector(SmallVector&& other) noexcept { steal(other); }

  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      append(other.begin(), other.end());
    }
    return *this;
  }

  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }

  ~SmallVector() { release(); }

  size_type size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_type capacity() const { return capacity_; }
  // True while the elements live inside the object (no heap buffer).
  bool is_inline() const { return capacity_ == N; }

  T* data() { return is_inline() ? inline_data() : heap(); }
  const T* data() const { return is_inline() ? inline_data() : heap(); }
  iterator begin() { return data(); }
  iterator end() { return data() + size_; }
  const_iterator begin() const { return data(); }
  const_iterator end() const { return data() + size_; }
  T& operator[](size_type i) { return data()[i]; }
  const T& operator[](size_type i) const { return data()[i]; }
  T& front() { return data()[0]; }
  const T& front() const { return data()[0]; }
  T& back() { return data()[size_ - 1]; }
  const T& back() const { return data()[size_ - 1]; }

  void reserve(size_type wanted) {
    if (wanted > capacity_) grow_to(wanted);
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      // Construct first: the arguments may refer to an element of this vector.
      T item(std::forward<Args>(args)...);
      grow_to(next_capacity());
      ::new (static_cast<void*>(data() + size_)) T(std::move(item));
    } else {
      ::new (static_cast<void*>(data() + size_)) T(std::forward<Args>(args)...);
    }
    return data()[size_++];
  }

  void push_back(const T& item) { emplace_back(item); }
  void push_back(T&& item) { emplace_back(std::move(item)); }

  void pop_back() {
    --size_;
    std::destroy_at(data() + size_);
  }

  // Grows geometrically like emplace_back: unions append one class's lists
  // to another's again and again, and growing to the exact size each time
  // would copy a long list once per append (quadratic along a chain of
  // merges).
  template <class It>
  void append(It first, It last) {
    if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>) {
      const size_type wanted = checked_size(static_cast<std::size_t>(size_) +
                                            static_cast<std::size_t>(std::distance(first, last)));
      if (wanted > capacity_) grow_to(std::max(wanted, next_capacity()));
    }
    for (; first != last; ++first) emplace_back(*first);
  }

  // Shrinks to `count` elements; a larger count is a caller error.
  void truncate(size_type count) {
    while (size_ > count) pop_back();
  }

  void resize(size_type count) {
    truncate(count);
    reserve(count);
    while (size_ < count) emplace_back();
  }

  void clear() { truncate(0); }

  // Removes [first, last) and returns the position after the removed range.
  iterator erase(const_iterator first, const_iterator last) {
    T* out = begin() + (first - begin());
    T* from = begin() + (last - begin());
    T* stop = end();
    size_type removed = static_cast<size_type>(from - out);
    std::move(from, stop, out);
    truncate(size_ - removed);
    return out;
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

  // Element by element; a prefix orders before the longer list.
  friend auto operator<=>(const SmallVector& a, const SmallVector& b) {
    return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  static size_type checked_size(std::size_t wanted) {
    check_invariant(wanted <= UINT32_MAX, "small vector longer than 2^32 - 1 elements");
    return static_cast<size_type>(wanted);
  }

  size_type next_capacity() const {
    return checked_size(std::max<std::size_t>(2 * static_cast<std::size_t>(capacity_), N + 1));
  }

  T* inline_data() { return std::launder(reinterpret_cast<T*>(storage_)); }
  const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

  // The heap pointer is kept as bytes so that the object needs only the
  // element's alignment: an e-node of three 4-byte ids is 24 bytes, not 32.
  T* heap() const {
    T* pointer;
    std::memcpy(&pointer, storage_, sizeof pointer);
    return pointer;
  }
  void set_heap(T* pointer) { std::memcpy(storage_, &pointer, sizeof pointer); }

  void grow_to(size_type wanted) {
    T* fresh = static_cast<T*>(::operator new(sizeof(T) * wanted, std::align_val_t(alignof(T))));
    T* old = data();
    std::uninitialized_move(old, old + size_, fresh);
    std::destroy(old, old + size_);
    free_heap();
    set_heap(fresh);
    capacity_ = wanted;
  }

  void free_heap() {
    if (!is_inline()) ::operator delete(heap(), std::align_val_t(alignof(T)));
  }

  void release() {
    std::destroy(begin(), end());
    free_heap();
    size_ = 0;
    capacity_ = N;
  }

  // Takes other's elements, leaving it empty; this vector must be empty.
  void steal(SmallVector& other) noexcept {
    if (other.is_inline()) {
      if constexpr (std::is_trivially_copyable_v<T>) {
        std::memcpy(storage_, other.storage_, sizeof(T) * other.size_);
        size_ = other.size_;
        other.size_ = 0;
        return;
      }
      std::uninitialized_move(other.begin(), other.end(), inline_data());
      size_ = other.size_;
      other.clear();
    } else {
      set_heap(other.heap());
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.size_ = 0;
      other.capacity_ = N;
    }
  }

  size_type size_ = 0;
  size_type capacity_ = N;  // N while inline; a heap buffer is always larger
  static constexpr std::size_t kStorageBytes = std::max(sizeof(T) * N, sizeof(T*));
  alignas(T) unsigned char storage_[kStorageBytes];
};

}  // namespace korvane::egraph
