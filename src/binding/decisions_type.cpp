#include "binding/decisions_type.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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

// The type stays mutable, so Python code can replace `__new__` and make an
// instance that evaluate_arrow never filled; the allocator zero-fills it, so
// `constructed` tells, and every method asks first.
struct DecisionsObject {
  PyObject header;
  bool constructed;
  alignas(std::shared_ptr<const DecisionSet>) unsigned char storage[sizeof(
      std::shared_ptr<const DecisionSet>)];
};

std::shared_ptr<const DecisionSet>& decisions_of(PyObject* self) {
  return *std::launder(reinterpret_cast<std::shared_ptr<const DecisionSet>*>(
      reinterpret_cast<DecisionsObject*>(self)->storage));
}

bool ensure_constructed_decisions(PyObject* self) {
  if (reinterpret_cast<DecisionsObject*>(self)->constructed) return true;
  PyErr_SetString(PyExc_TypeError, "Decisions object is not initialised");
  return false;
}

void decisions_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Shared = std::shared_ptr<const DecisionSet>;
  if (reinterpret_cast<DecisionsObject*>(self)->constructed) decisions_of(self).~Shared();
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

Py_ssize_t decisions_length(PyObject* self) {
  if (!ensure_constructed_decisions(self)) return -1;
  return static_cast<Py_ssize_t>(decisions_of(self)->rows);
}

// The optional requested_schema is accepted and not honoured: the protocol
// lets a producer keep its own schema.
PyObject* decisions_stream(PyObject* self, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed_decisions(self)) return nullptr;
    return stream_capsule(decisions_of(self));
  });
}

PyObject* decisions_array(PyObject* self, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed_decisions(self)) return nullptr;
    return array_capsules(*decisions_of(self));
  });
}

PyObject* decisions_to_pylist(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed_decisions(self)) return nullptr;
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
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed_decisions(self)) return nullptr;
    return PyUnicode_FromFormat("<Decisions rows=%lld>",
                                static_cast<long long>(decisions_of(self)->rows));
  });
}

// The module function that unpickling calls; set when the type is made.
PyObject* restore_function = nullptr;
constexpr long kPickleVersion = 1;

// Pickled as (version, effects, rule of each row, rule ids): the effects one
// byte a row, the rules 32-bit positions into the distinct ids (-1: none).
PyObject* decisions_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed_decisions(self)) return nullptr;
    const DecisionSet& decisions = *decisions_of(self);
    std::string effects;
    std::vector<std::int32_t> rules;
    effects.reserve(static_cast<std::size_t>(decisions.rows));
    rules.reserve(static_cast<std::size_t>(decisions.rows));
    std::unordered_map<std::string_view, std::int32_t> positions;
    PyRef ids = PyRef::steal(PyList_New(0));
    if (!ids) return nullptr;
    for (const auto& batch : decisions.batches) {
      for (std::int64_t row = 0; row < batch->rows(); ++row) {
        effects += static_cast<char>(batch->effects[row]);
        std::int32_t rule = -1;
        if ((batch->rule_validity[row >> 3] >> (row & 7)) & 1) {
          const std::string_view id(batch->rule_bytes.data() + batch->rule_offsets[row],
                                    batch->rule_offsets[row + 1] - batch->rule_offsets[row]);
          const auto [found, added] =
              positions.try_emplace(id, static_cast<std::int32_t>(positions.size()));
          if (added) {
            PyRef text = PyRef::steal(
                PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size())));
            if (!text || PyList_Append(ids.get(), text.get()) < 0) return nullptr;
          }
          rule = found->second;
        }
        rules.push_back(rule);
      }
    }
    PyRef effect_bytes = PyRef::steal(
        PyBytes_FromStringAndSize(effects.data(), static_cast<Py_ssize_t>(effects.size())));
    PyRef rule_bytes = PyRef::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rules.data()),
                                  static_cast<Py_ssize_t>(rules.size() * sizeof(std::int32_t))));
    if (!effect_bytes || !rule_bytes) return nullptr;
    // A policy default other than allow travels as a fifth part.
    if (decisions.default_effect != engine::Effect::Allow) {
      return Py_BuildValue("O(lOOOi)", restore_function, kPickleVersion, effect_bytes.get(),
                           rule_bytes.get(), ids.get(), static_cast<int>(decisions.default_effect));
    }
    return Py_BuildValue("O(lOOO)", restore_function, kPickleVersion, effect_bytes.get(),
                         rule_bytes.get(), ids.get());
  });
}

PyObject* not_pickled(const char* what) {
  PyErr_Format(PyExc_ValueError, "not pickled decisions: %s", what);
  return nullptr;
}

// _restore_decisions(version, effects, rules, ids): Decisions again, after
// checking every part (a pickle may come from anywhere).
PyObject* restore_decisions(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* version = nullptr;
    PyObject* effects = nullptr;
    PyObject* rules = nullptr;
    PyObject* ids = nullptr;
    PyObject* fallback = nullptr;
    // Five parts only when the policy's default was not allow; the
    // four-part form keeps its own messages.
    const bool with_default = PyTuple_Size(args) == 5;
    if (!PyArg_UnpackTuple(args, "_restore_decisions", with_default ? 5 : 4, with_default ? 5 : 4,
                           &version, &effects, &rules, &ids, &fallback)) {
      return nullptr;
    }
    auto default_effect = engine::Effect::Allow;
    if (fallback != nullptr) {
      const long code = PyLong_Check(fallback) ? PyLong_AsLong(fallback) : -1;
      if (PyErr_Occurred()) PyErr_Clear();
      if (code < 0 || code >= static_cast<long>(engine::spellings_of<engine::Effect>().size())) {
        return not_pickled("an unknown default effect");
      }
      default_effect = static_cast<engine::Effect>(code);
    }
    if (!PyLong_Check(version) || PyLong_AsLong(version) != kPickleVersion) {
      if (PyErr_Occurred()) PyErr_Clear();
      return not_pickled("unknown version");
    }
    if (!PyBytes_Check(effects) || !PyBytes_Check(rules) || !PyList_Check(ids)) {
      return not_pickled("parts of the wrong types");
    }
    const Py_ssize_t rows = PyBytes_Size(effects);
    if (PyBytes_Size(rules) != rows * static_cast<Py_ssize_t>(sizeof(std::int32_t))) {
      return not_pickled("rows differ in length");
    }
    std::vector<std::string_view> texts;
    const Py_ssize_t count = PyList_Size(ids);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* id = PyList_GetItem(ids, i);
      if (!PyUnicode_Check(id)) return not_pickled("a rule id that is not a str");
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(id, &size);
      if (utf8 == nullptr) return nullptr;
      texts.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    std::vector<std::int32_t> positions(static_cast<std::size_t>(rows));
    // An empty vector's data() may be null, which memcpy must not get even for no bytes.
    if (!positions.empty()) {
      std::memcpy(positions.data(), PyBytes_AsString(rules),
                  positions.size() * sizeof(std::int32_t));
    }
    const auto* codes = reinterpret_cast<const std::int8_t*>(PyBytes_AsString(effects));
    auto restored = columnar::restore_decisions(std::span(codes, static_cast<std::size_t>(rows)),
                                                positions, texts, default_effect);
    if (!restored) {
      raise_value_error(restored.error().render());
      return nullptr;
    }
    return new_decisions(std::make_shared<const DecisionSet>(std::move(*restored)));
  });
}

PyMethodDef restore_methods[] = {
    {"_restore_decisions", restore_decisions, METH_VARARGS,
     "_restore_decisions(version, effects, rules, ids, /)\n--\n\n"
     "Rebuilds pickled Decisions; not for direct use."},
    {nullptr, nullptr, 0, nullptr},
};

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
    {"__reduce__", decisions_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickles the decisions as their effects and rule ids."},
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

bool add_decisions_restore_function(PyObject* module) {
  if (PyModule_AddFunctions(module, restore_methods) < 0) return false;
  restore_function = PyObject_GetAttrString(module, "_restore_decisions");
  return restore_function != nullptr;
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
  reinterpret_cast<DecisionsObject*>(self)->constructed = true;
  return self;
}

}  // namespace kavro::binding
