// Raising Python exceptions from the binding, and the guard that keeps C++
// exceptions from ever crossing into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "binding/python_api.h"

namespace kavro::binding {

// Creates the exception type for internal failures (a broken invariant, never
// ordinary input). It derives directly from BaseException so that a generic
// `except Exception` in user code does not swallow an engine defect. Returns
// false with an exception set. Called once per process by module init.
bool create_internal_failure_type();

// Raises the internal-failure exception; invalid UTF-8 in `text` is replaced.
void raise_internal_failure(std::string_view text);

// An exception of `type` carrying exactly `text` (invalid UTF-8 replaced).
void raise_text(PyObject* type, std::string_view text);

// ValueError carrying exactly `text`: loading, governance and compile errors.
void raise_value_error(std::string_view text);

// TypeError "'<type>' object cannot be converted to '<target>'", <type> being
// the __qualname__ of the value's type.
void raise_cannot_convert(PyObject* value, const char* target);

// When the pending exception is exactly TypeError (not a subclass), replaces it
// with one whose message starts with "argument '<name>': " and that keeps the
// original's cause. Any other pending exception is left untouched.
void prefix_argument_error(const char* name);

// Runs the body of a Python entry point. Whatever the body throws becomes a
// Python exception (MemoryError for allocation failure, the internal-failure
// type otherwise) and the entry point returns null.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    raise_internal_failure("unknown internal failure");
  }
  return nullptr;
}

}  // namespace kavro::binding
