#include "binding/many_decisions.h"

#include <algorithm>
#include <array>
#include <vector>

#include "binding/argument_binding.h"
#include "binding/errors.h"
#include "binding/input_conversion.h"
#include "binding/interpreter_lock.h"
#include "binding/py_ref.h"
#include "evaluation/evaluator.h"
#include "evaluation/row_input.h"

namespace kavro::binding {

namespace {

constexpr std::array<const char*, 1> kNames = {"inputs"};
constexpr Signature kSignature = {"PyKavro.evaluate_many()", kNames, 1};

// Adds `index` to the pending exception, which evaluate would have raised
// for the input at that position.
void note_failing_index(Py_ssize_t index) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyRef number = PyRef::steal(PyLong_FromSsize_t(index));
    // An exception type without a dict keeps its message and goes without the index.
    if (!number || PyObject_SetAttrString(value, "index", number.get()) < 0) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace

PyObject* decision_result(const KavroState& state, const CompiledRule* rule) {
  if (rule == nullptr) return build_result(Effect::Allow, Py_None);
  // The object owns the shared text for at least as long as this call.
  if (PyObject* shared = state.rule_texts.text_of(rule)) return build_result(rule->effect, shared);
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(
      rule->rule_id.data(), static_cast<Py_ssize_t>(rule->rule_id.size())));
  if (!text) return nullptr;
  return build_result(rule->effect, text.get());
}

PyObject* kavro_evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kNames.size()> bound{};
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    PyRef iterator = PyRef::steal(PyObject_GetIter(bound[0]));
    if (!iterator) {
      prefix_argument_error(kNames[0]);
      return nullptr;
    }
    const KavroState& state = state_of(self);
    const FieldSlots& slots = state.policy.field_slots;
    const std::uint32_t stride = std::max<std::uint32_t>(slots.size(), 1);
    // The inputs stay referenced: converted text views their strings, and
    // `held` protects the strings a later input's hooks could drop.
    std::vector<PyRef> inputs;
    std::vector<ValueView> rows;
    HeldTexts held;
    for (;;) {
      PyRef input = PyRef::steal(PyIter_Next(iterator.get()));
      if (!input) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      const auto index = static_cast<Py_ssize_t>(inputs.size());
      if (!PyDict_Check(input.get())) {
        raise_cannot_convert(input.get(), "PyDict");
        prefix_argument_error("input");
        note_failing_index(index);
        return nullptr;
      }
      EvaluationInput converted(slots);
      if (!convert_input(input.get(), state.field_keys, converted, held)) {
        note_failing_index(index);
        return nullptr;
      }
      // Iterating on (or the next input's hooks) runs Python code.
      held.protect();
      for (std::uint32_t slot = 0; slot < slots.size(); ++slot) rows.push_back(converted.at(slot));
      if (slots.size() == 0) rows.emplace_back();
      inputs.push_back(std::move(input));
    }

    std::vector<const CompiledRule*> decided(inputs.size());
    {
      const ReleasedLock released;
      for (std::size_t i = 0; i < decided.size(); ++i) {
        decided[i] = find_deciding_rule(state.policy, RowInput{rows.data() + i * stride});
      }
    }

    PyRef results = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(decided.size())));
    if (!results) return nullptr;
    for (std::size_t i = 0; i < decided.size(); ++i) {
      PyObject* result = decision_result(state, decided[i]);
      if (result == nullptr) return nullptr;
      PyList_SetItem(results.get(), static_cast<Py_ssize_t>(i), result);
    }
    return results.release();
  });
}

}  // namespace kavro::binding
