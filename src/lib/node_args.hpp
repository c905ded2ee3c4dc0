// Converting the parameter and descriptor arguments of the recording methods
// into borrowed node fields (record_fields.hpp), from which the store packs
// the node's record directly.
//
// The views point into the argument objects (the UTF-8 text the interpreter
// keeps for a str) or into objects these holders keep alive, so they stay
// valid for the holder's life even if another thread changes a params or
// descriptor dict meanwhile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "inline_list.hpp"
#include "module.hpp"
#include "record_fields.hpp"
#include "refs.hpp"

namespace korvane::py {

// A converted params argument.
class ParamArgs {
 public:
  ParamArgs() = default;
  ParamArgs(const ParamArgs&) = delete;
  ParamArgs& operator=(const ParamArgs&) = delete;

  ParamField* fields() { return fields_.data(); }
  std::size_t size() const { return fields_.size(); }

 private:
  friend bool params_from_py(PyObject* obj, ParamArgs& out);
  Refs items_;  // the dict's keys and values, alternating
  InlineList<ParamField, 8> fields_;
};

// None (or nullptr, an omitted argument) or a dict (subclasses accepted),
// item by item in the dict's order: the key a str, the value by the first
// rule that applies (exactly bool; integer index within int64; float
// protocol; str). The first failing item raises. Sorting is left to packing.
bool params_from_py(PyObject* obj, ParamArgs& out);

// A converted descriptor argument.
class DescriptorArgs {
 public:
  DescriptorArgs() = default;
  DescriptorArgs(const DescriptorArgs&) = delete;
  DescriptorArgs& operator=(const DescriptorArgs&) = delete;
  ~DescriptorArgs();

  const DescriptorFields& fields() const { return fields_; }

 private:
  friend bool descriptor_from_py(ModuleState* state, PyObject* obj, DescriptorArgs& out);
  static constexpr std::size_t kFields = 6;
  DescriptorFields fields_;
  PyObject* values_[kFields] = {};  // strong references to a dict's values
};

// A PayloadDescriptor object (its fields are read in place: the object is
// immutable and outlives the call) or a dict of its fields: preprocessing_ref
// first (missing or None: absent), then the five required ones in order.
bool descriptor_from_py(ModuleState* state, PyObject* obj, DescriptorArgs& out);

}  // namespace korvane::py
