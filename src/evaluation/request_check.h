// The request check: what in one request the schema does not expect. An
// action type it does not declare, fields it does not declare, and declared
// fields holding a value of another type all end in the default decision
// without a word, so they are reported here. Never consulted by evaluate.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/schema_index.h"
#include "documents/vocabulary.h"
#include "evaluation/value_view.h"

namespace kavro {

// One entry of a request map, as evaluate converts it (never Absent).
// `type_name` names the value's type for messages; `text` is a text value.
struct RequestEntry {
  Domain domain;
  std::string_view field;
  ValueKind kind;
  std::string_view type_name;
  std::string_view text;
};

struct RequestProblem {
  std::string path;  // "action.amount", or the top-level key
  std::string_view
      kind;  // UnknownSection, MissingActionType, UnknownAction, UndeclaredField, WrongType
  std::string message;
};

// `sections` are the request's top-level keys; `entries` the entries of its
// action, actor and snapshot maps, in request order.
std::vector<RequestProblem> check_request(const SchemaIndex& schema,
                                          std::span<const std::string_view> sections,
                                          std::span<const RequestEntry> entries);

}  // namespace kavro
