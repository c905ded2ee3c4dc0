#include "args.hpp"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "payload_descriptor.hpp"

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

// An error raised while trying one conversion rule means "this rule does not
// apply"; anything outside Exception (KeyboardInterrupt, SystemExit, the
// module's own InternalError) is never swallowed.
bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// Strong references to a list's or dict's content, taken under the object's
// critical section so that a concurrent writer cannot free an item while it
// is converted (conversion may run Python code). Small contents, the usual
// case for inputs and params, need no allocation.
class Refs {
 public:
  Refs() = default;
  Refs(const Refs&) = delete;
  Refs& operator=(const Refs&) = delete;
  ~Refs() {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
  }
  void reserve(std::size_t n) {
    if (n > kInline) {
      heap_.resize(n);
      items_ = heap_.data();
    }
  }
  // After reserve(n), at most n items are added.
  void add(PyObject* borrowed) { items_[size_++] = Py_NewRef(borrowed); }
  std::size_t size() const { return size_; }
  PyObject* operator[](std::size_t i) const { return items_[i]; }

 private:
  static constexpr std::size_t kInline = 16;
  PyObject* inline_[kInline];
  std::vector<PyObject*> heap_;
  PyObject** items_ = inline_;
  std::size_t size_ = 0;
};

void list_items(PyObject* list, Refs& refs) {
  KORVANE_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t n = PyList_GET_SIZE(list);
  refs.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) refs.add(PyList_GET_ITEM(list, i));
  KORVANE_END_CRITICAL_SECTION();
}

// Keys and values alternate.
void dict_items(PyObject* dict, Refs& refs) {
  KORVANE_BEGIN_CRITICAL_SECTION(dict);
  refs.reserve(2 * static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    refs.add(key);
    refs.add(value);
  }
  KORVANE_END_CRITICAL_SECTION();
}

bool raise_param_value_type() {
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

bool str_value(PyObject* obj, ParamValue& out) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &length);
  if (text == nullptr) return false;
  out = ParamValue::of_str(std::string(text, static_cast<std::size_t>(length)));
  return true;
}

// An int beyond the signed 64-bit range becomes the nearest double when it
// has one; beyond the float range no rule applies.
bool big_int_value(PyObject* integer, ParamValue& out) {
  const double value = PyLong_AsDouble(integer);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!clear_ordinary_error()) return false;
    return raise_param_value_type();
  }
  out = ParamValue::of_float(value);
  return true;
}

bool has_float_conversion(PyObject* obj) {
  if (PyFloat_Check(obj)) return true;
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

// The rules in order: exactly bool; integer index within int64; float
// protocol; str; otherwise TypeError.
bool param_value_from_py(PyObject* obj, ParamValue& out) {
  if (PyBool_Check(obj)) {
    out = ParamValue::of_bool(obj == Py_True);
    return true;
  }
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return big_int_value(obj, out);
    if (value == -1 && PyErr_Occurred()) return false;
    out = ParamValue::of_int(value);
    return true;
  }
  if (PyFloat_CheckExact(obj)) {
    out = ParamValue::of_float(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (PyUnicode_CheckExact(obj)) return str_value(obj, out);

  if (PyIndex_Check(obj)) {
    PyObject* index = PyNumber_Index(obj);
    if (index != nullptr) {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
      Py_DECREF(index);
      if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
        out = ParamValue::of_int(value);
        return true;
      }
    }
    if (PyErr_Occurred() && !clear_ordinary_error()) return false;
  }
  if (has_float_conversion(obj)) {
    const double value = PyFloat_AsDouble(obj);
    if (!(value == -1.0 && PyErr_Occurred())) {
      out = ParamValue::of_float(value);
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  if (PyUnicode_Check(obj)) return str_value(obj, out);
  return raise_param_value_type();
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

bool optional_str_from_py(PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!str_from_py(obj, text)) return false;
  out.emplace(text);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Binding

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
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

bool noted(bool ok, const char* name) {
  if (ok) return true;
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

bool str_from_py(PyObject* obj, std::string_view& out) {
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

bool node_ids_from_py(ModuleState* state, PyObject* obj, NodeIds& out) {
  out.clear();
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  // Exact lists and tuples are read directly; subclasses may override
  // iteration, so they go through the iterator like every other sequence.
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!node_id_from_py(PyTuple_GET_ITEM(obj, i), out[static_cast<std::size_t>(i)])) {
        return false;
      }
    }
    return true;
  }
  if (PyList_CheckExact(obj)) {
    Refs items;
    list_items(obj, items);
    out.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (!node_id_from_py(items[i], out[i])) return false;
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
    if (!ok) {
      Py_DECREF(iterator);
      return false;
    }
    out.push_back(id);
  }
  Py_DECREF(iterator);
  return !PyErr_Occurred();
}

bool params_from_py(PyObject* obj, ParamMap& out) {
  out.clear();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  Refs items;
  dict_items(obj, items);
  std::vector<ParamEntry> entries;
  entries.reserve(items.size() / 2);
  for (std::size_t i = 0; i < items.size(); i += 2) {
    std::string_view key;
    if (!str_from_py(items[i], key)) return false;
    ParamValue value;
    if (!param_value_from_py(items[i + 1], value)) return false;
    entries.push_back(ParamEntry{std::string(key), std::move(value)});
  }
  out = make_param_map(std::move(entries));
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

bool descriptor_from_py(ModuleState* state, PyObject* obj,
                        std::shared_ptr<const PayloadDescriptor>& out) {
  if (const auto* held = payload_descriptor_of(state, obj)) {
    out = *held;
    return true;
  }
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  const Keys& keys = state->keys;
  // preprocessing_ref is read first; then the required fields in order.
  PyObject* const names[] = {keys.preprocessing_ref, keys.kind,    keys.content_hash,
                             keys.framework,         keys.version, keys.io_schema};
  constexpr std::size_t kFields = sizeof(names) / sizeof(names[0]);
  PyObject* values[kFields] = {};
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
  struct Release {
    PyObject** values;
    ~Release() {
      for (std::size_t i = 0; i < kFields; ++i) Py_XDECREF(values[i]);
    }
  } release{values};
  if (lookup_failed) return false;

  auto descriptor = std::make_shared<PayloadDescriptor>();
  if (!optional_str_from_py(values[0], descriptor->preprocessing_ref)) return false;
  std::string* const fields[] = {&descriptor->kind, &descriptor->content_hash,
                                 &descriptor->framework, &descriptor->version,
                                 &descriptor->io_schema};
  for (std::size_t i = 1; i < kFields; ++i) {
    if (values[i] == nullptr) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%U'", names[i]);
      return false;
    }
    std::string_view text;
    if (!str_from_py(values[i], text)) return false;
    fields[i - 1]->assign(text);
  }
  out = std::move(descriptor);
  return true;
}

PyObject* str_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace korvane::py
