#include "binding/language_words.h"

#include <string_view>
#include <type_traits>
#include <variant>

#include "binding/errors.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

template <class Enum>
PyObject* spelling_tuple() {
  constexpr auto spellings = engine::spellings_of<Enum>();
  return new_tuple(spellings.size(), [&](std::size_t i) { return new_text(spellings[i]); });
}

bool add_tuple(PyObject* module, const char* name, PyObject* new_tuple) {
  PyRef tuple = PyRef::steal(new_tuple);
  return tuple && PyModule_AddObjectRef(module, name, tuple.get()) == 0;
}

PyObject* scalar_value(const engine::PlainScalar& scalar, PyObject* text) {
  return std::visit(
      [text](const auto& value) -> PyObject* {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, engine::NullScalar>) {
          return none();
        } else if constexpr (std::is_same_v<T, bool>) {
          return new_bool(value);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          return PyLong_FromUnsignedLongLong(value);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return PyLong_FromLongLong(value);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(value);
        } else {
          static_assert(std::is_same_v<T, std::string_view>);
          // The text itself: the same str, not a copy.
          Py_INCREF(text);
          return text;
        }
      },
      scalar);
}

}  // namespace

bool add_language_words(PyObject* module) {
  return add_tuple(module, "EFFECTS", spelling_tuple<engine::Effect>()) &&
         add_tuple(module, "DOMAINS", spelling_tuple<engine::Domain>()) &&
         add_tuple(module, "OPERATORS", spelling_tuple<engine::Operator>());
}

PyObject* plain_scalar_function(PyObject*, PyObject* text) {
  return guarded([&]() -> PyObject* {
    if (!PyUnicode_Check(text)) {
      PyErr_SetString(PyExc_TypeError, "_plain_scalar() takes a str");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return nullptr;
    return scalar_value(
        engine::plain_scalar(std::string_view(utf8, static_cast<std::size_t>(size))), text);
  });
}

}  // namespace kavro::binding
