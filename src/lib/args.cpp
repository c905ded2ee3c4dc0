#include "args.hpp"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "refs.hpp"

namespace korvane::py {

namespace {

// ---------------------------------------------------------------------------
// Argument errors

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (sig.required_positional() != sig.positional()) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name(), sig.required_positional(), sig.positional(), given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name(), sig.positional(), given, was);
  }
  return false;
}

bool missing_arguments(const Signature& sig, const char* kind,
                       const std::vector<const char*>& names) {
  const std::string list = quoted_list(names);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s", sig.full_name(),
               names.size(), kind, names.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

bool name_equals(PyObject* name, const char* expected) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) {
    PyErr_Clear();  // an unencodable name matches no parameter
    return false;
  }
  return static_cast<std::size_t>(length) == std::strlen(expected) &&
         std::memcmp(text, expected, static_cast<std::size_t>(length)) == 0;
}

bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < sig.size(); ++i) {
    if (!name_equals(name, sig[i].name)) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.full_name(),
                   name);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name(),
               name);
  return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  for (std::size_t i = 0; i < sig.size(); ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.positional()) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

bool check_required(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required_positional(); ++i) {
    if (out[i] == nullptr) missing.push_back(sig[i].name);
  }
  if (!missing.empty()) return missing_arguments(sig, "positional", missing);
  for (std::size_t i = sig.positional(); i < sig.size(); ++i) {
    if (sig[i].required && out[i] == nullptr) missing.push_back(sig[i].name);
  }
  if (!missing.empty()) return missing_arguments(sig, "keyword", missing);
  return true;
}

// ---------------------------------------------------------------------------
// Exception notes

#if PY_VERSION_HEX >= 0x030C0000
void add_note(const char* text) {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s", text);
  if (result == nullptr) PyErr_Clear();  // keep the original error
  Py_XDECREF(result);
  PyErr_SetRaisedException(exc);
}
#else
void add_note(const char* text) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PyObject* result = value ? PyObject_CallMethod(value, "add_note", "s", text) : nullptr;
  if (result == nullptr) PyErr_Clear();
  Py_XDECREF(result);
  PyErr_Restore(type, value, traceback);
}
#endif

// The value of an exact int that is small and not negative, read without
// calling into the interpreter: nothing is allocated and no exception can
// arise, so it may run inside a critical section. Anything else is left to
// node_id_from_py.
bool small_index(PyObject* obj, NodeId& out) {
  if (!PyLong_CheckExact(obj)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  auto* integer = reinterpret_cast<PyLongObject*>(obj);
  if (!PyUnstable_Long_IsCompact(integer)) return false;
  const Py_ssize_t value = PyUnstable_Long_CompactValue(integer);
  if (value < 0) return false;
  out = static_cast<NodeId>(value);
  return true;
#else
  const Py_ssize_t digits = Py_SIZE(obj);  // negative for negative numbers
  if (digits != 0 && digits != 1) return false;
  out = digits == 0 ? 0 : reinterpret_cast<PyLongObject*>(obj)->ob_digit[0];
  return true;
#endif
}

PyObject* param_value_to_py(const ParamValue& value) {
  switch (value.kind()) {
    case ParamKind::Int:
      return PyLong_FromLongLong(value.as_int());
    case ParamKind::Float:
      return PyFloat_FromDouble(value.as_float());
    case ParamKind::Bool:
      return PyBool_FromLong(value.as_bool());
    case ParamKind::Str:
      return str_to_py(value.as_str());
  }
  PyErr_SetString(PyExc_SystemError, "unknown parameter kind");
  return nullptr;
}

bool raise_no_memory() {
  PyErr_NoMemory();
  return false;
}

// A list's ids, read under its critical section: small ints are taken there;
// from the first other item on, the rest is held by strong references and
// converted after the section (conversion may run Python code or raise).
// Either way the ids come from one state of the list.
bool list_ids(PyObject* list, IdList& out) {
  Refs rest;
  std::size_t first_rest = 0;
  bool out_of_memory = false;
  KORVANE_BEGIN_CRITICAL_SECTION(list);
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
  first_rest = n;
  if (!out.resize(n)) {
    out_of_memory = true;
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      if (small_index(PyList_GET_ITEM(list, i), out[i])) continue;
      first_rest = i;
      if (!rest.reserve(n - i)) {
        out_of_memory = true;
        break;
      }
      for (std::size_t j = i; j < n; ++j) rest.add(PyList_GET_ITEM(list, j));
      break;
    }
  }
  KORVANE_END_CRITICAL_SECTION();
  if (out_of_memory) return raise_no_memory();
  for (std::size_t k = 0; k < rest.size(); ++k) {
    if (!node_id_from_py(rest[k], out[first_rest + k])) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Binding

bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!bind_positional(sig, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* const* items = nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  if (!bind_positional(sig, items, nargs, out)) return false;
  if (kwargs != nullptr) {
    // The keyword dict belongs to this call alone; no other thread sees it.
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(sig, name, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

bool add_argument_note(const char* name) {
  const std::string note = std::string("while processing '") + name + "'";
  add_note(note.c_str());
  return false;
}

// ---------------------------------------------------------------------------
// Conversions

std::string type_name(PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  std::string result = text ? std::string(text, static_cast<std::size_t>(length))
                            : std::string(Py_TYPE(obj)->tp_name);
  if (text == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return result;
}

bool raise_not_instance(PyObject* obj, const char* target) {
  const std::string name = type_name(obj);
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), target);
  return false;
}

bool str_from_py_any(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    if (obj == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
      return false;
    }
    return raise_not_instance(obj, "str");
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &length);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(length));
  return true;
}

bool bool_from_py(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // NumPy's boolean scalar, recognised by name so NumPy is never imported.
  const char* name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return raise_not_instance(obj, "bool");
}

bool node_id_from_py(PyObject* obj, NodeId& out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return false;
    value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool node_ids_from_py(ModuleState* state, PyObject* obj, IdList& out) {
  out.clear();
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  // Exact lists and tuples are read directly; subclasses may override
  // iteration, so they go through the iterator like every other sequence.
  if (PyList_CheckExact(obj)) return list_ids(obj, out);
  if (PyTuple_CheckExact(obj)) {
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    if (!out.resize(n)) return raise_no_memory();
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i));
      if (!small_index(item, out[i]) && !node_id_from_py(item, out[i])) return false;
    }
    return true;
  }
  int is_sequence = PySequence_Check(obj);
  if (!is_sequence) {
    is_sequence = PyObject_IsInstance(obj, state->sequence_abc);
    if (is_sequence < 0) return false;
  }
  if (!is_sequence) return raise_not_instance(obj, "Sequence");
  PyObject* iterator = PyObject_GetIter(obj);
  if (iterator == nullptr) return false;
  PyObject* item;
  while ((item = PyIter_Next(iterator)) != nullptr) {
    NodeId id = 0;
    const bool ok = node_id_from_py(item, id);
    Py_DECREF(item);
    if (!ok || !out.push_back(id)) {
      Py_DECREF(iterator);
      return ok ? raise_no_memory() : false;
    }
  }
  Py_DECREF(iterator);
  return !PyErr_Occurred();
}

bool node_ids_from_py(ModuleState* state, PyObject* obj, NodeIds& out) {
  IdList ids;
  if (!node_ids_from_py(state, obj, ids)) {
    out.clear();
    return false;
  }
  out.assign(ids.begin(), ids.end());
  return true;
}

PyObject* params_to_py(const ParamMap& params) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const ParamEntry& entry : params) {
    PyObject* key = str_to_py(entry.key);
    PyObject* value = key ? param_value_to_py(entry.value) : nullptr;
    const bool ok = value != nullptr && PyDict_SetItem(dict, key, value) == 0;
    Py_XDECREF(key);
    Py_XDECREF(value);
    if (!ok) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

PyObject* str_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace korvane::py
