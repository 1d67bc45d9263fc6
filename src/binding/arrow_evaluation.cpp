#include "binding/arrow_evaluation.h"

#include <array>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "binding/argument_binding.h"
#include "binding/arrow_capsules.h"
#include "binding/decisions_type.h"
#include "binding/errors.h"
#include "binding/interpreter_lock.h"
#include "binding/kavro_state.h"
#include "columnar/columnar_decider.h"

namespace kavro::binding {

namespace {

constexpr std::array<const char*, 2> kNames = {"data", "ignore_unknown_columns"};
constexpr Signature kSignature = {"PyKavro.evaluate_arrow()", kNames, 1};

void raise_columnar_error(const columnar::ColumnarError& error) {
  switch (error.kind) {
    case columnar::ColumnarError::Kind::UnsupportedType:
      raise_text(PyExc_TypeError, error.render());
      return;
    case columnar::ColumnarError::Kind::UnknownColumn:
    case columnar::ColumnarError::Kind::MalformedData:
    case columnar::ColumnarError::Kind::StreamFailed:
      raise_text(PyExc_ValueError, error.render());
      return;
  }
}

// KAVRO_COLUMNAR_WAY=columns, grouped-rows or rows holds every batch to one
// way of deciding, so that tests and benchmarks can set them side by side;
// the decisions are the same either way.
columnar::ColumnRules::Way way_from_environment() {
  const char* way = std::getenv("KAVRO_COLUMNAR_WAY");
  if (way == nullptr) return columnar::ColumnRules::Way::Measured;
  const std::string_view text(way);
  if (text == "columns") return columnar::ColumnRules::Way::Columns;
  if (text == "grouped-rows") return columnar::ColumnRules::Way::GroupedRows;
  if (text == "rows") return columnar::ColumnRules::Way::Rows;
  return columnar::ColumnRules::Way::Measured;
}

PyObject* decide_lent(PyObject* self, PyObject* data, PyObject* ignore, LentArrow& lent) {
  bool ignore_unknown = false;
  if (ignore != nullptr) {
    if (!PyBool_Check(ignore)) {
      raise_cannot_convert(ignore, "PyBool");
      prefix_argument_error(kNames[1]);
      return nullptr;
    }
    ignore_unknown = ignore == Py_True;
  }
  if (!take_arrow(data, kNames[0], lent)) return nullptr;
  const KavroState& state = state_of(self);
  const engine::Policy& policy = state.policy;
  columnar::ColumnRules rules;
  rules.ignore_unknown_columns = ignore_unknown;
  rules.way = way_from_environment();
  rules.declared = [&policy](engine::Domain domain, std::string_view field) {
    return policy.declares(domain, field);
  };
  std::optional<Result<columnar::DecisionSet, columnar::ColumnarError>> decided;
  {
    // Batches are fetched and released without the lock, as the C stream
    // interface allows; the lent stream itself is released with it held.
    const ReleasedLock released;
    if (lent.stream.held()) {
      decided.emplace(columnar::decide_stream(policy, *lent.stream, rules));
    } else {
      decided.emplace(columnar::decide_array(policy, *lent.schema, *lent.array, rules));
    }
  }
  if (!*decided) {
    // Released before the error is raised: a producer's release callback
    // may run Python, which must not find an exception pending.
    release_lent(lent);
    raise_columnar_error(decided->error());
    return nullptr;
  }
  return new_decisions(std::make_shared<const columnar::DecisionSet>(std::move(**decided)));
}

}  // namespace

PyObject* kavro_evaluate_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    std::array<PyObject*, kNames.size()> bound{};
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    LentArrow lent;
    PyObject* result = decide_lent(self, bound[0], bound[1], lent);
    if (result == nullptr) {
      // As above: whatever is still lent goes back with no exception pending.
      PyObject* type = nullptr;
      PyObject* value = nullptr;
      PyObject* traceback = nullptr;
      PyErr_Fetch(&type, &value, &traceback);
      release_lent(lent);
      PyErr_Restore(type, value, traceback);
    }
    return result;
  });
}

}  // namespace kavro::binding
