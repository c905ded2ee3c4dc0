// Argument binding and conversions shared by every callable of the module.
//
// A callable describes its parameters once, statically (`Signature`), and
// binds fast-call arguments with `bind`, which produces the module's fixed
// argument-error messages. Conversions are small functions that either fill
// their output and return true, or set a Python exception and return false.
// `noted` adds the "while processing '{name}'" note to a failed conversion of
// a method argument; conversions done later inside a method (parameter
// dictionaries, descriptors, node_args.hpp) add none.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "inline_list.hpp"
#include "module.hpp"
#include "node.hpp"

// Per-object protection for reading containers another thread may change.
// Free-threaded interpreters need it; elsewhere it is a plain block.
#if PY_VERSION_HEX >= 0x030D0000
#define KORVANE_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define KORVANE_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define KORVANE_BEGIN_CRITICAL_SECTION(op) {
#define KORVANE_END_CRITICAL_SECTION() }
#endif

namespace korvane::py {

// ---------------------------------------------------------------------------
// Binding

struct Parameter {
  const char* name;
  bool keyword_only = false;
  bool required = true;
};

// Parameters in order: positional-or-keyword ones first (required before
// optional), then keyword-only ones.
class Signature {
 public:
  static constexpr std::size_t kMaxParameters = 8;

  constexpr Signature(const char* full_name, std::initializer_list<Parameter> params)
      : full_name_(full_name) {
    for (const Parameter& p : params) {
      params_[count_++] = p;
      if (!p.keyword_only) {
        ++positional_;
        if (p.required) ++required_positional_;
      } else if (p.required) {
        ++required_keyword_only_;
      }
    }
  }

  // "GraphStore.add_op()": how argument errors name the callable.
  const char* full_name() const { return full_name_; }
  std::size_t size() const { return count_; }
  const Parameter& operator[](std::size_t i) const { return params_[i]; }
  std::size_t positional() const { return positional_; }
  std::size_t required_positional() const { return required_positional_; }
  std::size_t required_keyword_only() const { return required_keyword_only_; }

 private:
  const char* full_name_;
  Parameter params_[kMaxParameters] = {};
  std::size_t count_ = 0;
  std::size_t positional_ = 0;
  std::size_t required_positional_ = 0;
  std::size_t required_keyword_only_ = 0;
};

// Binds vectorcall arguments: `out` receives one borrowed reference per
// parameter, nullptr where the argument was omitted. False with TypeError set
// on a missing, surplus, unexpected or repeated argument.
bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out);

// The usual call passes its arguments by position, none missing or surplus;
// it is bound here, inline, where the signature is a constant.
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (kwnames != nullptr || given < sig.required_positional() || given > sig.positional() ||
      sig.required_keyword_only() != 0) {
    return bind_any(sig, args, nargs, kwnames, out);
  }
  for (std::size_t i = 0; i < sig.size(); ++i) out[i] = i < given ? args[i] : nullptr;
  return true;
}

// The same for the tuple-and-dict convention of tp_new.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Adds "while processing '{name}'" to the pending exception when `ok` is
// false; returns `ok`. Wrap the conversion of each method argument in it.
bool add_argument_note(const char* name);  // returns false
inline bool noted(bool ok, const char* name) { return ok || add_argument_note(name); }

// ---------------------------------------------------------------------------
// Conversions

// The short type name of `obj`, as error messages show it.
std::string type_name(PyObject* obj);

// TypeError "'{type}' object is not an instance of '{target}'" ("'None' is
// not an instance of '{target}'" for None). Returns false.
bool raise_not_instance(PyObject* obj, const char* target);

// str or a str subclass, as UTF-8. The view lives as long as `obj`.
bool str_from_py_any(PyObject* obj, std::string_view& out);
inline bool str_from_py(PyObject* obj, std::string_view& out) {
  if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    // ASCII text is its own UTF-8, stored right after the object header.
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  return str_from_py_any(obj, out);
}

// A bool (or a NumPy boolean scalar, through its truth value).
bool bool_from_py(PyObject* obj, bool& out);

// A sequence of unsigned 64-bit ids (node inputs and output lists). A str is
// refused although it is a sequence; other iterables are not sequences.
using IdList = InlineList<NodeId, 16>;
bool node_ids_from_py(ModuleState* state, PyObject* obj, IdList& out);
bool node_ids_from_py(ModuleState* state, PyObject* obj, NodeIds& out);

// One id: the integer-index protocol, unsigned 64-bit, interpreter's errors.
bool node_id_from_py(PyObject* obj, NodeId& out);

// A new dict in map order; for repeated keys the first position keeps the
// last value.
PyObject* params_to_py(const ParamMap& params);

// A new str from UTF-8 text.
PyObject* str_to_py(std::string_view text);

}  // namespace korvane::py
