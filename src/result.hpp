// A small value-or-error type for core operations whose failures are values.
#pragma once

#include <utility>
#include <variant>

namespace korvane {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<E> unexpected(E error) {
  return Unexpected<E>{std::move(error)};
}

template <class T, class E>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Unexpected<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// Result of an operation that yields nothing on success.
template <class E>
class Status {
 public:
  Status() = default;
  Status(Unexpected<E> failure) : error_(std::move(failure.error)), failed_(true) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return !failed_; }
  const E& error() const { return error_; }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace korvane
