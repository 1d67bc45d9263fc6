#include "binding/errors.h"

#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

// Lives as long as the process: the module can be initialised only once and
// is never unloaded, and releasing it at exit would run after finalisation.
PyObject* internal_failure_type = nullptr;

constexpr const char* kUnknownTypeName = "<failed to extract type name>";

// The __qualname__ of the value's type, or null when it cannot be read.
PyRef type_qualname(PyObject* value) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  // A metaclass can make __qualname__ anything; its str() is the best text.
  if (name && !PyUnicode_Check(name.get())) name = PyRef::steal(PyObject_Str(name.get()));
  if (!name) PyErr_Clear();
  return name;
}

// The pending exception, taken out of the interpreter's error indicator.
struct PendingError {
  PyRef type;
  PyRef value;
  PyRef traceback;

  static PendingError take() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The replacement API arrived in 3.12; these stay in the stable ABI.
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
#pragma GCC diagnostic pop
    return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
  }

  void restore() && {
    PyErr_Restore(type.release(), value.release(), traceback.release());
  }
};

}  // namespace

bool create_internal_failure_type() {
  internal_failure_type = PyErr_NewExceptionWithDoc(
      "kavro.InternalFailure",
      "An internal failure of the engine: a broken invariant, not a fault of the input.",
      PyExc_BaseException, nullptr);
  return internal_failure_type != nullptr;
}

void raise_internal_failure(std::string_view text) {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(internal_failure_type, message.get());
}

void raise_text(PyObject* type, std::string_view text) {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

void raise_value_error(std::string_view text) {
  raise_text(PyExc_ValueError, text);
}

void raise_cannot_convert(PyObject* value, const char* target) {
  PyRef name = type_qualname(value);
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", kUnknownTypeName,
                 target);
  }
}

void prefix_argument_error(const char* name) {
  PendingError error = PendingError::take();
  if (error.type.get() != PyExc_TypeError || !error.value) {
    std::move(error).restore();
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, error.value.get()));
  if (!message) return;
  PyRef prefixed =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!prefixed) return;
  if (PyObject* cause = PyException_GetCause(error.value.get())) {
    PyException_SetCause(prefixed.get(), cause);  // steals the reference
  }
  error.value = std::move(prefixed);
  error.traceback.reset();
  std::move(error).restore();
}

}  // namespace kavro::binding
