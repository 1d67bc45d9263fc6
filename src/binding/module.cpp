// Module initialisation: creates the extension module `kavro._kavro`, the
// private half of the `kavro` package, and registers PyKavro.

#include "binding/decision_lines_type.h"
#include "binding/decisions_type.h"
#include "binding/engine_travel.h"
#include "binding/errors.h"
#include "binding/input_conversion.h"
#include "binding/kavro_type.h"
#include "binding/language_words.h"
#include "binding/lint_function.h"
#include "binding/policy_error.h"
#include "binding/py_ref.h"
#include "binding/python_api.h"
#include "binding/rule_records.h"

namespace kavro::binding {

namespace {

constexpr const char* kModuleDoc =
    "Python module entry point.\n\n"
    "Must match the compiled library name to satisfy Python's\n"
    "`PyInit_<module>` symbol requirements.";

PyModuleDef kavro_module = {
    PyModuleDef_HEAD_INIT,
    "kavro._kavro",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide, like the class they describe: the type and the shared strings
// are created by the first initialisation and never released.
bool initialised = false;
PyObject* kavro_type = nullptr;

bool create_process_state() {
  if (kavro_type != nullptr) return true;
  if (!create_internal_failure_type() || !create_conversion_keys() ||
      !create_policy_error_types() || !create_rule_type()) {
    return false;
  }
  if (create_decisions_type() == nullptr || create_decision_lines_type() == nullptr) return false;
  kavro_type = create_kavro_type();
  return kavro_type != nullptr;
}

bool add_class(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("PyKavro"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttrString(module, "PyKavro", kavro_type) == 0;
}

// Beside the class: the result class of evaluate_arrow, the version and the
// function unpickling calls.
bool add_columnar_and_travel(PyObject* module) {
  return PyModule_AddObjectRef(module, "Decisions", decisions_class()) == 0 &&
         PyModule_AddObjectRef(module, "DecisionLines", decision_lines_class()) == 0 &&
         PyModule_AddStringConstant(module, "__version__", KAVRO_VERSION) == 0 &&
         add_restore_function(module) && add_language_words(module) &&
         add_decisions_restore_function(module);
}

PyObject* initialise() {
  // The engine keeps process-wide state (the class and the shared strings), so
  // a module object in a subinterpreter would share it unsafely. Refused before
  // anything is touched: the interpreter may still reject the module after this
  // function returns, and that must not lock the main interpreter out.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "the kavro module can be imported only in the main interpreter");
    return nullptr;
  }
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "the kavro module may be initialised only once per interpreter process");
    return nullptr;
  }
  if (!create_process_state()) return nullptr;
  kavro_module.m_methods = module_functions();
  PyRef module = PyRef::steal(PyModule_Create(&kavro_module));
  if (!module || !add_class(module.get()) || !add_policy_error_types(module.get()) ||
      !add_rule_type(module.get())) {
    return nullptr;
  }
  if (!add_columnar_and_travel(module.get())) return nullptr;
  initialised = true;
  return module.release();
}

}  // namespace

}  // namespace kavro::binding

PyMODINIT_FUNC PyInit__kavro() {
  return kavro::binding::guarded(kavro::binding::initialise);
}
