#include "binding/policy_error.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "binding/py_build.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

// Live as long as the process, like the class (see errors.cpp).
PyObject* policy_error_type = nullptr;
PyTypeObject* violation_type = nullptr;

PyStructSequence_Field violation_fields[] = {
    {"rule_id", "id of the governance rule"},
    {"message", "the error text the governance rule gives"},
    {"constraint", "what the rule demands, as written under `must`"},
    {"found", "what the policy holds instead"},
    {"line", "line of the governance rule, from 1"},
    {"column", "column of the governance rule, from 1"},
    {nullptr, nullptr},
};

PyStructSequence_Desc violation_desc = {"kavro.Violation",
                                        "One governance rule that the policy does not satisfy.",
                                        violation_fields, 6};

PyObject* violation_record(const engine::PlacedViolation& violation) {
  return new_record(violation_type, std::array<PyObject*, 6>{
                                        new_text(violation.rule_id),
                                        new_text(violation.message),
                                        new_text(violation.constraint),
                                        new_text(violation.found),
                                        counter(violation.place, &engine::Place::line),
                                        counter(violation.place, &engine::Place::column),
                                    });
}

PyObject* violation_records(const std::vector<engine::PlacedViolation>& violations) {
  return new_tuple(violations.size(),
                   [&](std::size_t i) { return violation_record(violations[i]); });
}

bool set_attribute(PyObject* object, const char* name, PyObject* new_value) {
  PyRef value = PyRef::steal(new_value);
  return value && PyObject_SetAttrString(object, name, value.get()) == 0;
}

}  // namespace

bool create_policy_error_types() {
  if (policy_error_type != nullptr) return true;
  policy_error_type = PyErr_NewExceptionWithDoc(
      "kavro.PolicyError",
      "A document did not load, the policy did not compile, or governance rejected it.",
      PyExc_ValueError, nullptr);
  if (policy_error_type == nullptr) return false;
  violation_type = PyStructSequence_NewType(&violation_desc);
  return violation_type != nullptr;
}

bool add_policy_error_types(PyObject* module) {
  return PyObject_SetAttrString(module, "PolicyError", policy_error_type) == 0 &&
         PyObject_SetAttrString(module, "Violation", reinterpret_cast<PyObject*>(violation_type)) ==
             0;
}

void raise_policy_error(const engine::BuildError& error) {
  const std::string message = error.render();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyRef exception =
      PyRef::steal(PyObject_CallFunctionObjArgs(policy_error_type, text.get(), nullptr));
  if (!exception) return;

  const auto& rule = error.rule();
  PyObject* object = exception.get();
  const bool built =
      set_attribute(object, "document", new_text(error.document_name())) &&
      set_attribute(object, "kind", new_text(error.kind())) &&
      set_attribute(object, "line", counter(error.place(), &engine::Place::line)) &&
      set_attribute(object, "column", counter(error.place(), &engine::Place::column)) &&
      set_attribute(object, "path", error.path().empty() ? none() : new_text(error.path())) &&
      set_attribute(object, "rule_id", rule ? new_text(rule->id) : none()) &&
      set_attribute(object, "rule_index", rule ? PyLong_FromSize_t(rule->index) : none()) &&
      set_attribute(object, "violations", violation_records(error.violations()));
  if (!built) return;
  PyErr_SetObject(policy_error_type, object);
}

}  // namespace kavro::binding
