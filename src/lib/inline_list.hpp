// A list of plain values that keeps its first N items inside the object.
//
// Argument conversion fills a few of these per call (input ids, parameter
// fields, references); keeping short ones inline spares an allocation per
// call. Growing never throws: it reports failure instead, because it runs where
// a C++ exception must not pass, such as inside an interpreter critical section.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace korvane::py {

template <class T, std::size_t N>
class InlineList {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "items are moved with memcpy and never destroyed");

 public:
  InlineList() : data_(reinterpret_cast<T*>(inline_)) {}
  InlineList(const InlineList&) = delete;
  InlineList& operator=(const InlineList&) = delete;
  ~InlineList() {
    if (!is_inline()) std::free(data_);
  }

  // Room for n items; false when memory ran out (the list is unchanged).
  [[nodiscard]] bool reserve(std::size_t n) {
    if (n <= capacity_) return true;
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) return false;
    T* grown = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (grown == nullptr) return false;
    if (size_ != 0) std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
    if (!is_inline()) std::free(data_);
    data_ = grown;
    capacity_ = n;
    return true;
  }
  // n items; new ones are left unset. False when memory ran out.
  [[nodiscard]] bool resize(std::size_t n) {
    if (!reserve(n)) return false;
    size_ = n;
    return true;
  }
  [[nodiscard]] bool push_back(const T& item) {
    if (size_ == capacity_ && !reserve(2 * capacity_)) return false;
    data_[size_++] = item;
    return true;
  }
  void clear() { size_ = 0; }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  bool is_inline() const { return data_ == reinterpret_cast<const T*>(inline_); }

  // Raw storage: the inline items are written before they are read, so
  // nothing is constructed up front.
  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace korvane::py
