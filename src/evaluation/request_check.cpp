#include "evaluation/request_check.h"

#include <array>

#include "evaluation/field_slots.h"
#include "support/near_miss.h"

namespace kavro::evaluation {
namespace {

// The request's sections are named as the domains are spelt.
constexpr auto kSections = documents::spellings_of<documents::Domain>();

std::string quoted(std::string_view text) {
  std::string out = "'";
  out += text;
  out += '\'';
  return out;
}

template <class Names>
std::string suggestion(std::string_view word, const Names& names) {
  const auto near = nearest_name(word, names);
  return near ? " (did you mean " + quoted(*near) + "?)" : std::string();
}

std::vector<std::string_view> names_of(const compiler::FieldTypes& fields) {
  std::vector<std::string_view> names;
  for (const auto& [name, type] : fields) names.push_back(name);
  return names;
}

class RequestChecker {
 public:
  explicit RequestChecker(const compiler::SchemaIndex& schema) : schema_(schema) {}

  void check_sections(std::span<const std::string_view> sections) {
    for (std::string_view section : sections) {
      bool known = false;
      for (std::string_view name : kSections) known = known || name == section;
      if (known) continue;
      add(std::string(section), "UnknownSection",
          quoted(section) + " is not one of 'action', 'actor', 'snapshot' and is ignored" +
              suggestion(section, kSections));
    }
  }

  // Finds the action's fields; without a declared action type only global
  // rules can decide.
  void check_action_type(std::span<const RequestEntry> entries) {
    const RequestEntry* type = nullptr;
    for (const RequestEntry& entry : entries) {
      if (entry.domain == documents::Domain::Action && entry.field == kActionTypeField)
        type = &entry;
    }
    const std::string path = "action.type";
    if (type == nullptr) {
      add(path, "MissingActionType", "the request has no action type: only global rules apply");
      return;
    }
    if (type->kind != ValueKind::String) {
      add(path, "WrongType",
          "action.type names the action and must be a str, but the request holds a " +
              std::string(type->type_name));
      return;
    }
    const auto action = schema_.actions.find(type->text);
    if (action == schema_.actions.end()) {
      std::vector<std::string_view> names;
      for (const auto& [name, fields] : schema_.actions) names.push_back(name);
      add(path, "UnknownAction",
          "action type " + quoted(type->text) +
              " is not declared in the schema: only global rules apply" +
              suggestion(type->text, names));
      return;
    }
    action_fields_ = &action->second;
  }

  void check_entry(const RequestEntry& entry) {
    const compiler::FieldTypes* fields = fields_of(entry.domain);
    if (fields == nullptr) return;  // an undeclared action: reported once already
    const auto declared = fields->find(entry.field);
    const bool declared_alike =
        declared != fields->end() && type_of(entry.kind) == declared->second;
    // Most entries are as declared: their path is written only for a problem.
    if (declared_alike) return;
    const std::string path =
        std::string(documents::spelling(entry.domain)) + "." + std::string(entry.field);
    if (declared == fields->end()) {
      std::string owner = entry.domain == documents::Domain::Action
                              ? "the action " + quoted(action_name_)
                              : "the " + std::string(spelling(entry.domain));
      add(path, "UndeclaredField",
          path + " is not declared for " + owner + " and no rule reads it" +
              suggestion(entry.field, names_of(*fields)));
      return;
    }
    if (type_of(entry.kind) != declared->second) {
      add(path, "WrongType",
          path + " is declared " + std::string(documents::variant_name(declared->second)) +
              ", but the request holds a " + std::string(entry.type_name) +
              ": no comparison with it holds");
    }
  }

  void note_action_name(std::span<const RequestEntry> entries) {
    for (const RequestEntry& entry : entries) {
      if (entry.domain == documents::Domain::Action && entry.field == kActionTypeField) {
        action_name_ = entry.text;
      }
    }
  }

  std::vector<RequestProblem> take() && { return std::move(problems_); }

 private:
  const compiler::FieldTypes* fields_of(documents::Domain domain) const {
    switch (domain) {
      case documents::Domain::Action:
        return action_fields_;
      case documents::Domain::Actor:
        return &schema_.actor_fields;
      case documents::Domain::Snapshot:
        return &schema_.snapshot_fields;
    }
    return nullptr;
  }

  void add(std::string path, std::string_view kind, std::string message) {
    problems_.push_back({std::move(path), kind, std::move(message)});
  }

  const compiler::SchemaIndex& schema_;
  const compiler::FieldTypes* action_fields_ = nullptr;
  std::string_view action_name_;
  std::vector<RequestProblem> problems_;
};

}  // namespace

std::vector<RequestProblem> check_request(const compiler::SchemaIndex& schema,
                                          std::span<const std::string_view> sections,
                                          std::span<const RequestEntry> entries) {
  RequestChecker checker(schema);
  checker.check_sections(sections);
  checker.note_action_name(entries);
  checker.check_action_type(entries);
  for (const RequestEntry& entry : entries) {
    if (entry.domain == documents::Domain::Action && entry.field == kActionTypeField) continue;
    checker.check_entry(entry);
  }
  return std::move(checker).take();
}

}  // namespace kavro::evaluation
