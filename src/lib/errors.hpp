// How core failures reach Python, and how core calls are made from Python
// threads.
//
// Core errors are values and become ordinary exceptions here (`map_err`).
// Broken invariants arrive as C++ exceptions and become the module's
// BaseException-derived InternalError. Core calls made while attached to the
// interpreter install a lock waiter that detaches while it blocks on a store
// lock, so a thread waiting for a busy store never stalls the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "error.hpp"
#include "module.hpp"
#include "store.hpp"

namespace korvane::py {

// ValueError "no node with id {id}". Returns nullptr for use in return statements.
PyObject* map_err(const BadNodeId& error);

// The module's InternalError with `message`. Returns nullptr.
PyObject* raise_internal_error(ModuleState* state, const char* message);

// Waits for a store mutex detached from the interpreter (the store tries the
// lock first and calls this only when it is taken).
void wait_detached(std::mutex& mutex);

// Locks a mutex of the Python layer (a reducer's own mutex, say) from an
// attached thread without stalling the interpreter while it is taken.
inline void lock_attached(std::mutex& mutex) {
  if (!mutex.try_lock()) wait_detached(mutex);
}

// Runs `work` (core code, no Python calls) in the attached thread. Store locks
// it takes are awaited detached. A C++ exception becomes a Python exception;
// returns false then.
template <class Work>
bool call_core(ModuleState* state, Work&& work) {
  ScopedLockWaiter waiter(&wait_detached);
  try {
    std::forward<Work>(work)();
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    // A node with a string or list beyond the record format's 32-bit fields:
    // refused before the store's lock is taken, the store is unchanged.
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    raise_internal_error(state, e.what());
  }
  return false;
}

// Runs `work` (long core code, no Python calls and no Python objects touched)
// detached from the interpreter, so other threads keep running meanwhile.
template <class Work>
bool call_core_detached(ModuleState* state, Work&& work) {
  bool out_of_memory = false;
  std::optional<std::string> failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    // Already detached: store locks are awaited by plain blocking, even when
    // this runs inside a call_core scope.
    ScopedLockWaiter blocking(nullptr);
    std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::exception& e) {
    try {
      failure.emplace(e.what());
    } catch (...) {
      out_of_memory = true;
    }
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  if (failure) {
    raise_internal_error(state, failure->c_str());
    return false;
  }
  return true;
}

}  // namespace korvane::py
