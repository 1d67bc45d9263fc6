#include "binding/lint_function.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// The texts of the findings as str objects, made once where findings repeat
// them: a few words name every severity, code and document, and a rule that
// is found many times (an alias repeated, say) gives the same message and id
// each time. Sharing the objects changes nothing a caller can see but memory.
class FindingTexts {
 public:
  PyObject* word(std::string_view text) {
    for (const auto& [known, object] : words_) {
      if (known == text) return PyRef::borrow(object.get()).release();
    }
    PyObject* object = new_text(text);
    if (object != nullptr) words_.emplace_back(text, PyRef::borrow(object));
    return object;
  }

  PyObject* message(std::string_view text) { return repeated(last_message_, text); }
  PyObject* rule_id(const std::optional<std::string>& text) {
    return text ? repeated(last_rule_id_, *text) : none();
  }

 private:
  struct Last {
    std::string text;
    PyRef object;
  };

  static PyObject* repeated(Last& last, std::string_view text) {
    if (last.object && last.text == text) return PyRef::borrow(last.object.get()).release();
    PyObject* object = new_text(text);
    if (object != nullptr) {
      last.text.assign(text);
      last.object = PyRef::borrow(object);
    }
    return object;
  }

  std::vector<std::pair<std::string_view, PyRef>> words_;
  Last last_message_;
  Last last_rule_id_;
};

PyObject* finding_tuple(const engine::Finding& finding, FindingTexts& texts) {
  std::array<PyObject*, 8> items = {
      texts.word(finding.severity),
      texts.word(finding.code),
      texts.message(finding.message),
      texts.word(finding.document),
      counter(finding.place, &engine::Place::line),
      counter(finding.place, &engine::Place::column),
      new_text(finding.path),
      texts.rule_id(finding.rule_id),
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
    FindingTexts shared;
    bool complete = true;
    engine::lint(*texts[0], *texts[1], texts[2], [&](engine::Finding&& finding) {
      complete = append_item(list.get(), finding_tuple(finding, shared));
      return complete;
    });
    return complete ? list.release() : nullptr;
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
