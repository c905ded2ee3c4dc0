#include "node_args.hpp"

#include <string_view>

#include "args.hpp"
#include "payload_descriptor.hpp"

namespace korvane::py {

namespace {

// An error raised while trying one conversion rule means "this rule does not
// apply"; anything outside Exception (KeyboardInterrupt, SystemExit, the
// module's own InternalError) is never swallowed.
bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

bool raise_param_value_type() {
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// Keys and values alternate. The size cannot change inside the critical
// section, so the walk stops at the last item rather than looking past it.
bool dict_items(PyObject* dict, Refs& refs) {
  bool reserved = true;
  KORVANE_BEGIN_CRITICAL_SECTION(dict);
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  reserved = refs.reserve(2 * static_cast<std::size_t>(size));
  if (reserved) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; i < size && PyDict_Next(dict, &pos, &key, &value); ++i) {
      refs.add(key);
      refs.add(value);
    }
  }
  KORVANE_END_CRITICAL_SECTION();
  if (!reserved) PyErr_NoMemory();
  return reserved;
}

bool str_value(PyObject* obj, std::string_view key, ParamField& out) {
  std::string_view text;
  if (!str_from_py(obj, text)) return false;
  out = ParamField::of_str(key, text);
  return true;
}

// An int beyond the signed 64-bit range becomes the nearest double when it
// has one; beyond the float range no rule applies.
bool big_int_value(PyObject* integer, std::string_view key, ParamField& out) {
  const double value = PyLong_AsDouble(integer);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!clear_ordinary_error()) return false;
    return raise_param_value_type();
  }
  out = ParamField::of_float(key, value);
  return true;
}

bool has_float_conversion(PyObject* obj) {
  if (PyFloat_Check(obj)) return true;
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

// The rules in order: exactly bool; integer index within int64; float
// protocol; str; otherwise TypeError. The exact built-in types come first
// because they are what nearly every call passes.
bool param_field_from_py(std::string_view key, PyObject* obj, ParamField& out) {
  if (PyBool_Check(obj)) {
    out = ParamField::of_bool(key, obj == Py_True);
    return true;
  }
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return big_int_value(obj, key, out);
    if (value == -1 && PyErr_Occurred()) return false;
    out = ParamField::of_int(key, value);
    return true;
  }
  if (PyFloat_CheckExact(obj)) {
    out = ParamField::of_float(key, PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (PyUnicode_CheckExact(obj)) return str_value(obj, key, out);

  if (PyIndex_Check(obj)) {
    PyObject* index = PyNumber_Index(obj);
    if (index != nullptr) {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
      Py_DECREF(index);
      if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
        out = ParamField::of_int(key, value);
        return true;
      }
    }
    if (PyErr_Occurred() && !clear_ordinary_error()) return false;
  }
  if (has_float_conversion(obj)) {
    const double value = PyFloat_AsDouble(obj);
    if (!(value == -1.0 && PyErr_Occurred())) {
      out = ParamField::of_float(key, value);
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  if (PyUnicode_Check(obj)) return str_value(obj, key, out);
  return raise_param_value_type();
}

}  // namespace

bool params_from_py(PyObject* obj, ParamArgs& out) {
  out.fields_.clear();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  if (!dict_items(obj, out.items_)) return false;
  // The items are held, so the views taken from them outlive any change
  // another thread (or a conversion's own Python code) makes to the dict.
  const std::size_t count = out.items_.size() / 2;
  if (!out.fields_.resize(count)) {
    PyErr_NoMemory();
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view key;
    if (!str_from_py(out.items_[2 * i], key)) return false;
    if (!param_field_from_py(key, out.items_[2 * i + 1], out.fields_[i])) return false;
  }
  return true;
}

DescriptorArgs::~DescriptorArgs() {
  for (PyObject* value : values_) Py_XDECREF(value);
}

bool descriptor_from_py(ModuleState* state, PyObject* obj, DescriptorArgs& out) {
  if (const auto* held = payload_descriptor_of(state, obj)) {
    const PayloadDescriptor& d = **held;
    out.fields_ = DescriptorFields{d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                                   std::nullopt};
    if (d.preprocessing_ref) out.fields_.preprocessing_ref = *d.preprocessing_ref;
    return true;
  }
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  constexpr std::size_t kFields = DescriptorArgs::kFields;
  const Keys& keys = state->keys;
  // preprocessing_ref is read first; then the required fields in order.
  PyObject* const names[kFields] = {keys.preprocessing_ref, keys.kind,    keys.content_hash,
                                    keys.framework,         keys.version, keys.io_schema};
  PyObject** const values = out.values_;
  // The fields are looked up in a private copy: copying holds the dict's own lock, so they
  // come from one state of a dict another thread may be changing. (A lookup may take that
  // lock itself, which must not happen inside a critical section of the same dict: 3.13
  // does not treat it as re-entrant and suspends the outer section.)
  PyObject* copy = PyDict_Copy(obj);
  if (copy == nullptr) return false;
  bool lookup_failed = false;
  for (std::size_t i = 0; i < kFields && !lookup_failed; ++i) {
    PyObject* value = PyDict_GetItemWithError(copy, names[i]);
    if (value != nullptr) {
      values[i] = Py_NewRef(value);
    } else if (PyErr_Occurred()) {
      lookup_failed = true;
    }
  }
  Py_DECREF(copy);
  if (lookup_failed) return false;

  DescriptorFields& fields = out.fields_;
  if (values[0] != nullptr && values[0] != Py_None) {
    std::string_view text;
    if (!str_from_py(values[0], text)) return false;
    fields.preprocessing_ref = text;
  }
  std::string_view* const targets[kFields] = {nullptr,           &fields.kind,
                                              &fields.content_hash, &fields.framework,
                                              &fields.version,   &fields.io_schema};
  for (std::size_t i = 1; i < kFields; ++i) {
    if (values[i] == nullptr) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%U'", names[i]);
      return false;
    }
    if (!str_from_py(values[i], *targets[i])) return false;
  }
  return true;
}

}  // namespace korvane::py
