#include "errors.hpp"

namespace korvane::py {

PyObject* map_err(const BadNodeId& error) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu",
               static_cast<unsigned long long>(error.id));
  return nullptr;
}

PyObject* raise_internal_error(ModuleState* state, const char* message) {
  PyErr_SetString(state->internal_error, message);
  return nullptr;
}

void wait_detached(std::mutex& mutex) {
  Py_BEGIN_ALLOW_THREADS
  mutex.lock();
  Py_END_ALLOW_THREADS
}

}  // namespace korvane::py
