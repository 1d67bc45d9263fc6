#include "binding/lint_function.h"

#include <array>
#include <optional>
#include <string_view>

#include "binding/argument_binding.h"
#include "binding/errors.h"
#include "binding/language_words.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"
#include "engine/lint.h"

namespace kavro::binding {

namespace {

constexpr std::array<const char*, 3> kLintNames = {"schema_yaml", "policy_yaml", "governance_yaml"};
constexpr Signature kLint = {"_lint()", kLintNames, 2};

PyObject* optional_text(const std::optional<std::string>& text) {
  return text ? new_text(*text) : none();
}

// One-based, as people count lines and columns.
PyObject* counter(const std::optional<engine::Place>& place, std::size_t engine::Place::*member) {
  if (!place) return none();
  return PyLong_FromSize_t((*place).*member);
}

PyObject* finding_tuple(const engine::Finding& finding) {
  std::array<PyObject*, 8> items = {
      new_text(finding.severity),
      new_text(finding.code),
      new_text(finding.message),
      new_text(finding.document),
      counter(finding.place, &engine::Place::line),
      counter(finding.place, &engine::Place::column),
      new_text(finding.path),
      optional_text(finding.rule_id),
  };
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  bool complete = static_cast<bool>(tuple);
  for (std::size_t i = 0; i < items.size(); ++i) {
    complete = complete && items[i] != nullptr;
    if (complete) {
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i]);  // steals
    } else {
      Py_XDECREF(items[i]);
    }
  }
  return complete ? tuple.release() : nullptr;
}

PyObject* lint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kLintNames.size()> bound{};
    if (!bind_arguments(kLint, args, nargs, kwnames, bound)) return nullptr;
    std::array<std::optional<std::string_view>, kLintNames.size()> texts;
    for (std::size_t i = 0; i < bound.size(); ++i) {
      if (bound[i] == nullptr || bound[i] == Py_None) continue;
      Py_ssize_t size = 0;
      const char* utf8 =
          PyUnicode_Check(bound[i]) ? PyUnicode_AsUTF8AndSize(bound[i], &size) : nullptr;
      if (utf8 == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a str", kLintNames[i]);
        return nullptr;
      }
      texts[i] = std::string_view(utf8, static_cast<std::size_t>(size));
    }
    if (!texts[0] || !texts[1]) {
      PyErr_SetString(PyExc_TypeError, "schema_yaml and policy_yaml must be str");
      return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const engine::Finding& finding : engine::lint(*texts[0], *texts[1], texts[2])) {
      if (!append_item(list.get(), finding_tuple(finding))) return nullptr;
    }
    return list.release();
  });
}

PyMethodDef functions[] = {
    {"_lint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lint)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_plain_scalar", plain_scalar_function, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() {
  return functions;
}

}  // namespace kavro::binding
