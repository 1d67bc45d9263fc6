// PyRef: owns one strong reference to a Python object and releases it when
// it goes out of scope, so that an early return on an error path cannot leak.
#pragma once

#include <utility>

#include "binding/python_api.h"

namespace kavro::binding {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (null is allowed and means "no object").
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
  void reset(PyObject* object = nullptr) {
    // Release only after the member is updated: dropping the old object can
    // run arbitrary Python code, which must not see a dangling pointer here.
    PyObject* old = std::exchange(object_, object);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace kavro::binding
