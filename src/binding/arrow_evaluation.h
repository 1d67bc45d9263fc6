// PyKavro.evaluate_arrow(data): decides every row of columnar Arrow input
// with the interpreter lock released from the moment the data is taken until
// the Decisions are built.
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

PyObject* kavro_evaluate_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

inline constexpr const char* kEvaluateArrowDoc =
    "evaluate_arrow($self, data, ignore_unknown_columns=False)\n--\n\n"
    "Evaluates every row of Arrow data: any object exporting __arrow_c_stream__\n"
    "or __arrow_c_array__ (pyarrow tables and record batches, polars and pandas\n"
    "data frames, ...).\n\n"
    "Columns: each request part as a struct column (action, actor, snapshot) or\n"
    "as flat columns named action.<field>, actor.<field> and snapshot.<field>, not\n"
    "both. A null is an absent field. Each row decides as evaluate would on the\n"
    "dict of its non-null values. Columns unrelated to the request are ignored.\n"
    "Unless ignore_unknown_columns is True, a table without request columns\n"
    "raises ValueError, and so does a column that looks like a request part\n"
    "(Action, action_amount) or names a field the schema does not declare.\n\n"
    "Returns Decisions with the columns effect and matched_rule.";

inline const PyMethodDef kEvaluateArrowMethod = {
    "evaluate_arrow",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_evaluate_arrow)),
    METH_FASTCALL | METH_KEYWORDS, kEvaluateArrowDoc};

}  // namespace kavro::binding
