// Strong references to the items of a list or dict, taken under the object's
// critical section, so that a concurrent writer cannot free an item while it
// is converted (conversion may run Python code). Small contents, the usual
// case for inputs and params, need no allocation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "inline_list.hpp"

namespace korvane::py {

class Refs {
 public:
  Refs() = default;
  Refs(const Refs&) = delete;
  Refs& operator=(const Refs&) = delete;
  ~Refs() {
    for (PyObject* item : items_) Py_DECREF(item);
  }
  // False when memory ran out; no Python exception is set, since this runs
  // inside critical sections.
  [[nodiscard]] bool reserve(std::size_t n) { return items_.reserve(n); }
  // After reserve(n), at most n items are added.
  void add(PyObject* borrowed) { (void)items_.push_back(Py_NewRef(borrowed)); }
  std::size_t size() const { return items_.size(); }
  PyObject* operator[](std::size_t i) const { return items_[i]; }

 private:
  InlineList<PyObject*, 32> items_;
};

}  // namespace korvane::py
