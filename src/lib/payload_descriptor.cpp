#include "payload_descriptor.hpp"

#include <new>
#include <string>

#include "args.hpp"

namespace korvane::py {

namespace {

struct PayloadDescriptorObject {
  PyObject_HEAD
  // Shared with the External nodes built from this object; never changed.
  std::shared_ptr<const PayloadDescriptor> value;
};

PayloadDescriptorObject* as_descriptor(PyObject* self) {
  return reinterpret_cast<PayloadDescriptorObject*>(self);
}

constexpr Signature kNewSignature{
    "PayloadDescriptor.__new__()",
    {
        {.name = "kind", .keyword_only = true},
        {.name = "content_hash", .keyword_only = true},
        {.name = "framework", .keyword_only = true},
        {.name = "version", .keyword_only = true},
        {.name = "io_schema", .keyword_only = true},
        {.name = "preprocessing_ref", .keyword_only = true, .required = false},
    }};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[6];
  if (!bind(kNewSignature, args, kwargs, bound)) return nullptr;
  auto value = std::make_shared<PayloadDescriptor>();
  std::string* const fields[] = {&value->kind, &value->content_hash, &value->framework,
                                 &value->version, &value->io_schema};
  for (int i = 0; i < 5; ++i) {
    std::string_view text;
    if (!noted(str_from_py(bound[i], text), kNewSignature[i].name)) return nullptr;
    fields[i]->assign(text);
  }
  if (bound[5] != nullptr && bound[5] != Py_None) {
    std::string_view text;
    if (!noted(str_from_py(bound[5], text), "preprocessing_ref")) return nullptr;
    value->preprocessing_ref.emplace(text);
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_descriptor(self)->value) std::shared_ptr<const PayloadDescriptor>(std::move(value));
  return self;
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_descriptor(self)->value.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_kind(PyObject* self, void*) { return str_to_py(as_descriptor(self)->value->kind); }
PyObject* get_content_hash(PyObject* self, void*) {
  return str_to_py(as_descriptor(self)->value->content_hash);
}
PyObject* get_framework(PyObject* self, void*) {
  return str_to_py(as_descriptor(self)->value->framework);
}
PyObject* get_version(PyObject* self, void*) {
  return str_to_py(as_descriptor(self)->value->version);
}
PyObject* get_io_schema(PyObject* self, void*) {
  return str_to_py(as_descriptor(self)->value->io_schema);
}
PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = as_descriptor(self)->value->preprocessing_ref;
  if (!ref) Py_RETURN_NONE;
  return str_to_py(*ref);
}

PyGetSetDef getset[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"content_hash", get_content_hash, nullptr, nullptr, nullptr},
    {"framework", get_framework, nullptr, nullptr, nullptr},
    {"version", get_version, nullptr, nullptr, nullptr},
    {"io_schema", get_io_schema, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
                    "preprocessing_ref=None)\n--\n\n"
                    "Reproducibility metadata an External node carries (participates in the "
                    "structural hash).")},
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "korvane_core.PayloadDescriptor",
    sizeof(PayloadDescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

const std::shared_ptr<const PayloadDescriptor>* payload_descriptor_of(ModuleState* state,
                                                                     PyObject* obj) {
  if (Py_TYPE(obj) != state->payload_descriptor_type) return nullptr;
  return &as_descriptor(obj)->value;
}

PyObject* create_payload_descriptor_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace korvane::py
