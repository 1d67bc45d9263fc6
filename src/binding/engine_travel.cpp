#include "binding/engine_travel.h"

#include <cstddef>
#include <string>

#include "binding/errors.h"
#include "binding/kavro_state.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

// The module function that unpickling calls; set once by module init.
PyObject* restore_function = nullptr;

PyObject* text_of(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// _restore_engine(schema, policy, governance, policy_hash): rebuilds an
// engine and checks that it is the one that was pickled. A different hash
// means this build compiles the documents differently: fail loudly rather
// than decide with another policy.
PyObject* restore_engine(PyObject* module, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* schema = nullptr;
    PyObject* policy = nullptr;
    PyObject* governance = nullptr;
    PyObject* recorded = nullptr;
    if (!PyArg_UnpackTuple(args, "_restore_engine", 4, 4, &schema, &policy, &governance,
                           &recorded)) {
      return nullptr;
    }
    PyRef type = PyRef::steal(PyObject_GetAttrString(module, "PyKavro"));
    if (!type) return nullptr;
    PyRef engine =
        PyRef::steal(PyObject_CallFunctionObjArgs(type.get(), schema, policy, governance, nullptr));
    if (!engine) return nullptr;
    PyRef rebuilt = PyRef::steal(PyObject_CallMethod(engine.get(), "policy_hash", nullptr));
    if (!rebuilt) return nullptr;
    const int same = PyObject_RichCompareBool(rebuilt.get(), recorded, Py_EQ);
    if (same < 0) return nullptr;
    if (same == 0) {
      PyErr_Format(PyExc_ValueError,
                   "the unpickled engine's policy hash %U differs from the pickled %R: this "
                   "build compiles its documents into another policy",
                   rebuilt.get(), recorded);
      return nullptr;
    }
    return engine.release();
  });
}

PyMethodDef restore_methods[] = {
    {"_restore_engine", restore_engine, METH_VARARGS,
     "_restore_engine(schema_yaml, policy_yaml, governance_yaml, policy_hash, /)\n--\n\n"
     "Rebuilds a pickled PyKavro; not for direct use."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_restore_function(PyObject* module) {
  if (PyModule_AddFunctions(module, restore_methods) < 0) return false;
  restore_function = PyObject_GetAttrString(module, "_restore_engine");
  return restore_function != nullptr;
}

PyObject* kavro_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    const KavroState& state = state_of(self);
    const SourceTexts& sources = state.sources;
    PyRef schema = PyRef::steal(text_of(sources.schema));
    PyRef policy = PyRef::steal(text_of(sources.policy));
    PyRef governance =
        sources.has_governance ? PyRef::steal(text_of(sources.governance)) : PyRef::borrow(Py_None);
    PyRef hash = PyRef::steal(text_of(state.policy.policy_hash()));
    if (!schema || !policy || !governance || !hash) return nullptr;
    return Py_BuildValue("O(OOOO)", restore_function, schema.get(), policy.get(), governance.get(),
                         hash.get());
  });
}

PyObject* kavro_same_engine(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* kavro_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    const engine::Policy::Counts counts = state_of(self).policy.counts();
    return PyUnicode_FromFormat(
        "<PyKavro action_rules=%zu actions=%zu actor_rules=%zu actors=%zu global_rules=%zu>",
        counts.action_rules, counts.actions, counts.actor_rules, counts.actors,
        counts.global_rules);
  });
}

}  // namespace kavro::binding
