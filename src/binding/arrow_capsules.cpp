#include "binding/arrow_capsules.h"

#include <utility>

#include "binding/errors.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

using columnar::ArrowArray;
using columnar::ArrowArrayStream;
using columnar::ArrowSchema;
using columnar::Owned;

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";

// Calls `data.<method>()`; null without an exception when there is no such
// method.
PyRef call_export(PyObject* data, const char* method) {
  PyRef bound = PyRef::steal(PyObject_GetAttrString(data, method));
  if (!bound) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return {};
  }
  return PyRef::steal(PyObject_CallNoArgs(bound.get()));
}

template <class T>
bool take_from_capsule(PyObject* capsule, const char* name, Owned<T>& out) {
  auto* lent = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (lent == nullptr) return false;
  if (lent->release == nullptr) {
    PyErr_Format(PyExc_ValueError, "the %s capsule was already consumed", name);
    return false;
  }
  out = Owned<T>::take(lent);
  return true;
}

// The capsule owns a heap struct; a consumer that took it left `release` null.
template <class T>
void destroy_capsule(PyObject* capsule, const char* name) {
  auto* lent = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (lent == nullptr) {
    PyErr_Clear();
    return;
  }
  if (lent->release != nullptr) lent->release(lent);
  delete lent;
}

void destroy_stream(PyObject* capsule) {
  destroy_capsule<ArrowArrayStream>(capsule, kStreamCapsule);
}
void destroy_schema(PyObject* capsule) {
  destroy_capsule<ArrowSchema>(capsule, kSchemaCapsule);
}
void destroy_array(PyObject* capsule) {
  destroy_capsule<ArrowArray>(capsule, kArrayCapsule);
}

// Wraps a filled heap struct; on failure releases it.
template <class T>
PyObject* new_capsule(T* lent, const char* name, PyCapsule_Destructor destroy) {
  PyObject* capsule = PyCapsule_New(lent, name, destroy);
  if (capsule == nullptr) {
    lent->release(lent);
    delete lent;
  }
  return capsule;
}

}  // namespace

void release_lent(LentArrow& lent) {
  lent.stream.reset();
  lent.array.reset();
  lent.schema.reset();
}

bool take_arrow(PyObject* data, const char* argument, LentArrow& out) {
  if (PyRef capsule = call_export(data, "__arrow_c_stream__")) {
    return take_from_capsule(capsule.get(), kStreamCapsule, out.stream);
  }
  if (PyErr_Occurred()) return false;
  if (PyRef pair = call_export(data, "__arrow_c_array__")) {
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) tuple");
      return false;
    }
    return take_from_capsule(PyTuple_GetItem(pair.get(), 0), kSchemaCapsule, out.schema) &&
           take_from_capsule(PyTuple_GetItem(pair.get(), 1), kArrayCapsule, out.array);
  }
  if (PyErr_Occurred()) return false;
  raise_cannot_convert(data, "ArrowStream");
  prefix_argument_error(argument);
  return false;
}

PyObject* stream_capsule(std::shared_ptr<const columnar::DecisionSet> decisions) {
  auto* stream = new ArrowArrayStream{};
  columnar::export_stream(std::move(decisions), *stream);
  return new_capsule(stream, kStreamCapsule, destroy_stream);
}

PyObject* array_capsules(const columnar::DecisionSet& decisions) {
  auto* array = new ArrowArray{};
  auto exported = columnar::export_all(decisions, *array);
  if (!exported) {
    delete array;
    raise_value_error(exported.error().render());
    return nullptr;
  }
  PyRef array_capsule = PyRef::steal(new_capsule(array, kArrayCapsule, destroy_array));
  if (!array_capsule) return nullptr;
  auto* schema = new ArrowSchema{};
  columnar::export_schema(*schema);
  PyRef schema_capsule = PyRef::steal(new_capsule(schema, kSchemaCapsule, destroy_schema));
  if (!schema_capsule) return nullptr;
  return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
}

}  // namespace kavro::binding
