// The class `DecisionLines`: the writing half of a decision log. It decides
// through an engine and renders the log line beside the conversion evaluate
// already makes (time, id, policy hash, the request's parts with masked
// fields, effect and rule), then hands the lines to its sink: each line as a
// str, or, for a file, lines joined as bytes once `flush_every` of them wait.
// Used with the interpreter lock held; the sink may be called from any
// thread that decides. Holds its sink.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "binding/kavro_state.h"
#include "binding/python_api.h"

namespace kavro::binding {

// Creates the class once per process; null with an exception set.
PyObject* create_decision_lines_type();
PyObject* decision_lines_class();

// Whether `object` is a DecisionLines; one that is logs a decision of a batch
// by `state`'s policy, by the rule `number` (no_rule() for none), whose
// `request` evaluate took: `id` is the new decision id. Lines of a batch wait
// for flush_decision_lines, called once the batch is decided, before it is
// answered. False with an exception set.
bool is_decision_lines(PyObject* object);
bool log_decision(PyObject* lines, const KavroState& state, PyObject* request,
                  std::string_view policy_hash, std::uint32_t number, std::string& id);
bool flush_decision_lines(PyObject* lines);

}  // namespace kavro::binding
