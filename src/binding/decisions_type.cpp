#include "binding/decisions_type.h"

#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "binding/arrow_capsules.h"
#include "binding/errors.h"
#include "binding/input_conversion.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

using columnar::DecisionSet;

constexpr const char* kTypeDoc =
    "The decisions of PyKavro.evaluate_arrow: the columns effect and\n"
    "matched_rule, one row per input row, readable by any Arrow consumer\n"
    "(pyarrow.table(decisions), polars.from_arrow(decisions)) or as\n"
    "result dicts through to_pylist().";

PyObject* decisions_type = nullptr;

struct DecisionsObject {
  PyObject header;
  alignas(std::shared_ptr<const DecisionSet>) unsigned char storage[sizeof(
      std::shared_ptr<const DecisionSet>)];
};

std::shared_ptr<const DecisionSet>& decisions_of(PyObject* self) {
  return *std::launder(reinterpret_cast<std::shared_ptr<const DecisionSet>*>(
      reinterpret_cast<DecisionsObject*>(self)->storage));
}

void decisions_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Shared = std::shared_ptr<const DecisionSet>;
  decisions_of(self).~Shared();
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

Py_ssize_t decisions_length(PyObject* self) {
  return static_cast<Py_ssize_t>(decisions_of(self)->rows);
}

// The optional requested_schema is accepted and not honoured: the protocol
// lets a producer keep its own schema.
PyObject* decisions_stream(PyObject* self, PyObject*, PyObject*) {
  return guarded([&] { return stream_capsule(decisions_of(self)); });
}

PyObject* decisions_array(PyObject* self, PyObject*, PyObject*) {
  return guarded([&] { return array_capsules(*decisions_of(self)); });
}

PyObject* decisions_to_pylist(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const DecisionSet& decisions = *decisions_of(self);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(decisions.rows)));
    if (!list) return nullptr;
    // Rule ids repeat across rows: one str per distinct id.
    std::unordered_map<std::string_view, PyRef> texts;
    Py_ssize_t at = 0;
    for (const auto& batch : decisions.batches) {
      for (std::int64_t row = 0; row < batch->rows(); ++row) {
        PyObject* rule = Py_None;
        if ((batch->rule_validity[row >> 3] >> (row & 7)) & 1) {
          const std::string_view id(batch->rule_bytes.data() + batch->rule_offsets[row],
                                    batch->rule_offsets[row + 1] - batch->rule_offsets[row]);
          PyRef& text = texts[id];
          if (!text) {
            text = PyRef::steal(
                PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size())));
            if (!text) return nullptr;
          }
          rule = text.get();
        }
        PyObject* result = build_result(static_cast<engine::Effect>(batch->effects[row]), rule);
        if (result == nullptr) return nullptr;
        PyList_SetItem(list.get(), at++, result);
      }
    }
    return list.release();
  });
}

PyObject* decisions_repr(PyObject* self) {
  return guarded([&] {
    return PyUnicode_FromFormat("<Decisions rows=%lld>",
                                static_cast<long long>(decisions_of(self)->rows));
  });
}

PyMethodDef decisions_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decisions_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The decisions as an Arrow C stream capsule, one batch per input batch."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decisions_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The decisions as one Arrow struct array: (schema capsule, array capsule)."},
    {"to_pylist", decisions_to_pylist, METH_NOARGS,
     "to_pylist($self)\n--\n\n"
     "One result dict per row, each exactly what evaluate returns."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decisions_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decisions_dealloc)},
    {Py_tp_methods, decisions_methods},
    {Py_tp_repr, reinterpret_cast<void*>(decisions_repr)},
    {Py_sq_length, reinterpret_cast<void*>(decisions_length)},
    {0, nullptr},
};

// Only evaluate_arrow makes instances: Python code cannot create one.
PyType_Spec decisions_spec = {
    "kavro.Decisions",
    static_cast<int>(sizeof(DecisionsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decisions_slots,
};

}  // namespace

PyObject* create_decisions_type() {
  decisions_type = PyType_FromSpec(&decisions_spec);
  return decisions_type;
}

PyObject* decisions_class() {
  return decisions_type;
}

PyObject* new_decisions(std::shared_ptr<const DecisionSet> decisions) {
  auto* type = reinterpret_cast<PyTypeObject*>(decisions_type);
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = allocate(type, 0);
  if (self == nullptr) return nullptr;
  new (reinterpret_cast<DecisionsObject*>(self)->storage)
      std::shared_ptr<const DecisionSet>(std::move(decisions));
  return self;
}

}  // namespace kavro::binding
