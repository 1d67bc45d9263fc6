#include "binding/policy_error.h"

#include <array>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/py_build.h"
#include "binding/py_ref.h"
#include "documents/loader.h"
#include "governance/violation_details.h"

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

std::string_view document_name(engine::Document document) {
  switch (document) {
    case engine::Document::Schema:
      return "schema";
    case engine::Document::Policy:
      return "policy";
    case engine::Document::Governance:
      return "governance";
  }
  return "policy";
}

std::string_view compile_kind(compiler::CompileErrorKind kind) {
  switch (kind) {
    case compiler::CompileErrorKind::UnknownAction:
      return "UnknownAction";
    case compiler::CompileErrorKind::InvalidScope:
      return "InvalidScope";
    case compiler::CompileErrorKind::UnknownDomain:
      return "UnknownDomain";
    case compiler::CompileErrorKind::UnknownField:
      return "UnknownField";
    case compiler::CompileErrorKind::UnknownOperator:
      return "UnknownOperator";
    case compiler::CompileErrorKind::InvalidLogicalCondition:
      return "InvalidLogicalCondition";
    case compiler::CompileErrorKind::TypeMismatch:
      return "TypeMismatch";
    case compiler::CompileErrorKind::UnsupportedOperator:
      return "UnsupportedOperator";
  }
  return "Compile";
}

// The part of a rule a compile error is about.
std::string_view rule_part(compiler::CompileErrorKind kind) {
  switch (kind) {
    case compiler::CompileErrorKind::UnknownAction:
    case compiler::CompileErrorKind::InvalidScope:
      return ".scope";
    case compiler::CompileErrorKind::UnknownDomain:
    case compiler::CompileErrorKind::UnknownField:
    case compiler::CompileErrorKind::UnknownOperator:
    case compiler::CompileErrorKind::InvalidLogicalCondition:
    case compiler::CompileErrorKind::TypeMismatch:
    case compiler::CompileErrorKind::UnsupportedOperator:
      return ".when";
  }
  return "";
}

// Where each value starts, by location path: one table per report, since a
// governance failure may look up tens of thousands of places.
class Places {
 public:
  explicit Places(const documents::ReadNotes& notes) {
    for (const auto& [place, position] : notes.places) by_path_.emplace(place, position);
  }

  std::optional<documents::Position> of(const std::string& path) const {
    const auto found = by_path_.find(path);
    if (found == by_path_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::unordered_map<std::string, documents::Position> by_path_;
};

PyObject* counter(const std::optional<documents::Position>& position,
                  std::size_t documents::Position::*member) {
  if (!position) return none();
  return PyLong_FromSize_t((*position).*member + 1);
}

// What the exception says beyond its message.
struct Placed {
  std::optional<documents::Position> position;
  std::string path;
  PyRef violations;
};

bool place_compile_error(const compiler::CompileError& error, std::string_view policy_text,
                         Placed& placed) {
  if (!error.rule) return true;
  documents::ReadNotes notes;
  if (!documents::load_policy(policy_text, &notes)) return true;
  const std::string rule = "rules[" + std::to_string(error.rule->index) + "]";
  placed.path = rule + std::string(rule_part(error.kind));
  const Places places(notes);
  placed.position = places.of(placed.path);
  if (!placed.position) placed.position = places.of(rule);
  return true;
}

PyObject* violation_record(const governance::GovernanceViolation& violation,
                           const governance::ViolationDetails& details,
                           const std::optional<documents::Position>& position) {
  PyRef record = PyRef::steal(PyStructSequence_New(violation_type));
  if (!record) return nullptr;
  std::array<PyObject*, 6> items = {
      new_text(violation.rule_id),
      new_text(violation.message),
      new_text(details.constraint),
      new_text(details.found),
      counter(position, &documents::Position::line),
      counter(position, &documents::Position::column),
  };
  bool complete = true;
  for (std::size_t i = 0; i < items.size(); ++i) {
    complete = complete && items[i] != nullptr;
    // Unset items must still hold an object when the record is dropped.
    PyObject* item = complete ? items[i] : none();
    if (!complete) Py_XDECREF(items[i]);
    PyStructSequence_SetItem(record.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return complete ? record.release() : nullptr;
}

constexpr std::size_t kDescribedViolations = 100;

// Violations come in governance order, so each is matched with the next
// governance rule of its id.
bool place_violations(const std::vector<governance::GovernanceViolation>& violations,
                      std::string_view policy_text, std::string_view governance_text,
                      Placed& placed) {
  documents::ReadNotes notes;
  auto governance = documents::load_governance(governance_text, &notes);
  auto policy = documents::load_policy(policy_text);
  const Places places(notes);
  PyRef list = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(violations.size())));
  if (!list) return false;
  std::size_t next = 0;
  for (std::size_t i = 0; i < violations.size(); ++i) {
    governance::ViolationDetails details;
    std::optional<documents::Position> position;
    if (governance && policy) {
      const auto& rules = governance->governance.rules;
      while (next < rules.size() && rules[next].id != violations[i].rule_id) ++next;
      if (next < rules.size()) {
        // Describing walks the whole policy: only the first violations get it,
        // so that a failure costs time in proportion to the documents.
        details = i < kDescribedViolations
                      ? governance::describe_violation(rules[next], *policy)
                      : governance::ViolationDetails{
                            governance::describe_constraint(rules[next].must), ""};
        const std::string path = "governance.rules[" + std::to_string(next) + "]";
        position = places.of(path);
        if (i == 0) {
          placed.path = path;
          placed.position = position;
        }
        ++next;
      }
    }
    PyObject* record = violation_record(violations[i], details, position);
    if (record == nullptr) return false;
    PyTuple_SetItem(list.get(), static_cast<Py_ssize_t>(i), record);  // steals
  }
  placed.violations = std::move(list);
  return true;
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

void raise_policy_error(const engine::BuildError& error, std::string_view policy_text,
                        std::optional<std::string_view> governance_text) {
  const std::string message = error.render();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyRef exception =
      PyRef::steal(PyObject_CallFunctionObjArgs(policy_error_type, text.get(), nullptr));
  if (!exception) return;

  Placed placed;
  std::string_view kind = "Load";
  if (const documents::LoadError* load = error.load_error()) {
    placed.position = load->position();
    placed.path = load->path();
  } else if (const compiler::CompileError* compile = error.compile_error()) {
    kind = compile_kind(compile->kind);
    if (!place_compile_error(*compile, policy_text, placed)) return;
  } else {
    kind = "GovernanceFailed";
    if (!place_violations(error.governance_failure()->violations, policy_text,
                          governance_text.value_or(""), placed)) {
      return;
    }
  }
  const auto& rule = error.rule();
  PyObject* object = exception.get();
  const bool built =
      set_attribute(object, "document", new_text(document_name(error.document()))) &&
      set_attribute(object, "kind", new_text(kind)) &&
      set_attribute(object, "line", counter(placed.position, &documents::Position::line)) &&
      set_attribute(object, "column", counter(placed.position, &documents::Position::column)) &&
      set_attribute(object, "path", placed.path.empty() ? none() : new_text(placed.path)) &&
      set_attribute(object, "rule_id", rule ? new_text(rule->id) : none()) &&
      set_attribute(object, "rule_index", rule ? PyLong_FromSize_t(rule->index) : none()) &&
      set_attribute(object, "violations",
                    placed.violations ? placed.violations.release() : PyTuple_New(0));
  if (!built) return;
  PyErr_SetObject(policy_error_type, object);
}

}  // namespace kavro::binding
