// PyKavro._decide_batch(requests, policy_hash, answer, check, log): a batch
// of parsed JSON requests answered as one JSON document by the engine's batch
// answers, for the decision service. The binding only converts: a request of
// plain JSON values is converted here; any other, and any the check finds
// problems in, is answered by `answer(index)` (its JSON, as bytes).
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

PyObject* kavro_decide_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

inline constexpr const char* kDecideBatchDoc =
    "_decide_batch($self, requests, policy_hash, answer, check, log)\n--\n\n"
    "The decision service's answer to a list of requests, as JSON bytes\n"
    "{\"policy_hash\": ..., \"decisions\": [...]}, and the decisions counted as\n"
    "(effect, matched_rule, count) tuples. Each request of plain JSON values\n"
    "is checked against the schema (when `check`) and decided, and logged to\n"
    "`log` (a DecisionLines, or None); `answer(index)` gives the JSON of any\n"
    "other request, and of one the check finds problems in.";

inline const PyMethodDef kDecideBatchMethod = {
    "_decide_batch",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_decide_batch)),
    METH_FASTCALL | METH_KEYWORDS, kDecideBatchDoc};

}  // namespace kavro::binding
