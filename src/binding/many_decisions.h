// PyKavro.evaluate_many(inputs): many dicts in, one result dict per input,
// each exactly what evaluate returns. Inputs are converted with the
// interpreter lock held, decided with it released, then rendered.
#pragma once

#include <cstdint>

#include "binding/kavro_state.h"
#include "binding/python_api.h"

namespace kavro::binding {

PyObject* kavro_evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// The result dict of the decision by rule `number` (the policy's no_rule()
// when no rule decided), or null with an exception set.
PyObject* decision_result(const KavroState& state, std::uint32_t number);

inline constexpr const char* kEvaluateManyDoc =
    "evaluate_many($self, inputs)\n--\n\n"
    "Evaluates every input of an iterable of input dicts.\n\n"
    "Returns a list with one result dict per input, in order, each exactly\n"
    "what evaluate returns for it. The first input that evaluate would\n"
    "reject raises evaluate's exception, with an `index` attribute naming it.";

inline const PyMethodDef kEvaluateManyMethod = {
    "evaluate_many",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_evaluate_many)),
    METH_FASTCALL | METH_KEYWORDS, kEvaluateManyDoc};

}  // namespace kavro::binding
