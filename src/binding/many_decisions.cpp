#include "binding/many_decisions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "binding/argument_binding.h"
#include "binding/errors.h"
#include "binding/input_conversion.h"
#include "binding/interpreter_lock.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

constexpr std::array<const char*, 1> kNames = {"inputs"};
constexpr Signature kSignature = {"PyKavro.evaluate_many()", kNames, 1};
constexpr Py_ssize_t kChunk = 256;

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

// A new list of every input, or null with the iteration's error. Private to
// the call, so no Python code can change it; untracked, so the collector
// (run by the allocations of the results) does not walk it again and again.
PyObject* take_inputs(PyObject* iterable) {
  PyObject* list = PyList_CheckExact(iterable) ? PyList_GetSlice(iterable, 0, PyList_Size(iterable))
                                               : PySequence_List(iterable);
  if (list != nullptr) PyObject_GC_UnTrack(list);
  return list;
}

PyObject* fresh_result(const KavroState& state, std::uint32_t number) {
  if (number == state.policy.no_rule()) {
    return build_result(state.policy.default_effect(), Py_None);
  }
  const engine::RuleEntry& rule = state.policy.rules()[number];
  // The object owns the shared text for at least as long as this call.
  if (PyObject* shared = state.rule_texts.text_of(number)) return build_result(rule.effect, shared);
  PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(rule.id.data(), static_cast<Py_ssize_t>(rule.id.size())));
  if (!text) return nullptr;
  return build_result(rule.effect, text.get());
}

}  // namespace

// Copying a small dict costs less than building and filling a new one, and
// the copy is an equal, independent dict.
PyObject* decision_result(const KavroState& state, std::uint32_t number) {
  PyRef& made = state.result_templates[number];
  if (!made) {
    made = PyRef::steal(fresh_result(state, number));
    if (!made) return nullptr;
  }
  return PyDict_Copy(made.get());
}

PyObject* kavro_evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    std::array<PyObject*, kNames.size()> bound{};
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    // The inputs, taken first: iterating can run Python code, and with the
    // inputs in hand none runs between two conversions, so the texts
    // converted inputs view need protecting only where a hook runs (which
    // convert_input takes care of).
    PyRef inputs = PyRef::steal(take_inputs(bound[0]));
    if (!inputs) {
      prefix_argument_error(kNames[0]);
      return nullptr;
    }
    const Py_ssize_t count = PyList_Size(inputs.get());
    const KavroState& state = state_of(self);
    const engine::InputFields& slots = state.policy.input_fields();
    const std::size_t stride = std::max<std::uint32_t>(slots.size(), 1);
    std::vector<engine::ValueView> rows(static_cast<std::size_t>(std::min(count, kChunk)) * stride);
    std::vector<std::uint32_t> decided(static_cast<std::size_t>(std::min(count, kChunk)));
    // Untracked until full: the collector neither walks it while the results
    // are made nor hands out a list with empty places.
    PyRef list = PyRef::steal(PyList_New(count));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());
    HeldTexts held;
    // Chunks keep the converted rows in cache and working memory bounded.
    for (Py_ssize_t first = 0; first < count; first += kChunk) {
      const Py_ssize_t chunk = std::min(kChunk, count - first);
      for (Py_ssize_t i = 0; i < chunk; ++i) {
        PyObject* input = PyList_GetItem(inputs.get(), first + i);
        if (Py_TYPE(input) != &PyDict_Type && !PyDict_Check(input)) {
          raise_cannot_convert(input, "PyDict");
          prefix_argument_error("input");
          note_failing_index(first + i);
          return nullptr;
        }
        const ConvertedRow row{slots, rows.data() + static_cast<std::size_t>(i) * stride};
        // Zero bytes are absent values. Cleared just before the conversion
        // writes it: clearing the whole chunk first would push everything
        // else out of the nearest cache.
        std::memset(static_cast<void*>(row.values), 0, stride * sizeof(engine::ValueView));
        if (!convert_input(input, state.field_keys, row, held)) {
          note_failing_index(first + i);
          return nullptr;
        }
      }
      {
        const ReleasedLock released;
        for (Py_ssize_t i = 0; i < chunk; ++i) {
          decided[static_cast<std::size_t>(i)] = state.policy.deciding_number(
              engine::RowInput{rows.data() + static_cast<std::size_t>(i) * stride});
        }
      }
      // The chunk is decided: its texts need holding no longer.
      held.clear();
      for (Py_ssize_t i = 0; i < chunk; ++i) {
        PyObject* result = decision_result(state, decided[static_cast<std::size_t>(i)]);
        if (result == nullptr) return nullptr;
        PyList_SetItem(list.get(), first + i, result);
      }
    }
    PyObject_GC_Track(list.get());
    return list.release();
  });
}

}  // namespace kavro::binding
