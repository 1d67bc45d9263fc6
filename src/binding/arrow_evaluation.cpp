#include "binding/arrow_evaluation.h"

#include <array>
#include <memory>
#include <optional>
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

constexpr std::array<const char*, 1> kNames = {"data"};
constexpr Signature kSignature = {"PyKavro.evaluate_arrow()", kNames, 1};

void raise_columnar_error(const columnar::ColumnarError& error) {
  const bool typing = error.kind == columnar::ColumnarError::Kind::UnsupportedType;
  raise_text(typing ? PyExc_TypeError : PyExc_ValueError, error.render());
}

}  // namespace

PyObject* kavro_evaluate_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    std::array<PyObject*, kNames.size()> bound{};
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    LentArrow lent;
    if (!take_arrow(bound[0], kNames[0], lent)) return nullptr;
    const engine::Policy& policy = state_of(self).policy;
    std::optional<Result<columnar::DecisionSet, columnar::ColumnarError>> decided;
    {
      // Batches are fetched and released without the lock, as the C stream
      // interface allows; the lent stream itself is released with it held.
      const ReleasedLock released;
      if (lent.stream.held()) {
        decided.emplace(columnar::decide_stream(policy, *lent.stream));
      } else {
        decided.emplace(columnar::decide_array(policy, *lent.schema, *lent.array));
      }
    }
    if (!*decided) {
      raise_columnar_error(decided->error());
      return nullptr;
    }
    return new_decisions(std::make_shared<const columnar::DecisionSet>(std::move(**decided)));
  });
}

}  // namespace kavro::binding
