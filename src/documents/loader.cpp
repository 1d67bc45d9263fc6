#include "documents/loader.h"

#include "documents/event_stream.h"
#include "documents/governance_reader.h"
#include "documents/location_path.h"
#include "documents/policy_reader.h"
#include "documents/reading_context.h"
#include "documents/schema_reader.h"

namespace kavro::documents {
namespace {

template <class Root>
using RootReader = Result<Root, LoadError> (*)(detail::ReadingContext&, std::size_t,
                                               const detail::PathStep&);

// The first document is read whole; only then are its own parser error and
// a following document looked for, so that its faults are reported first.
template <class Root>
Result<Root, LoadError> load_document(std::string_view text, RootReader<Root> read_root,
                                      ReadNotes* notes,
                                      std::vector<detail::SkippedItem>* skipped = nullptr) {
  detail::YamlEventStream stream(text);
  auto document = stream.first_document();
  if (!document) return fail(std::move(document).error());
  detail::ReadingContext context(*document, notes, skipped);
  auto root = read_root(context, 0, detail::PathStep::root());
  if (!root) return root;
  if (!document->complete()) return fail(document->end_error());
  if (auto end = stream.expect_end(); !end) return fail(std::move(end).error());
  return root;
}

}  // namespace

Result<SchemaAst, LoadError> load_schema(std::string_view text, ReadNotes* notes) {
  return load_document<SchemaAst>(text, detail::read_schema, notes);
}

Result<PolicyAst, LoadError> load_policy(std::string_view text, ReadNotes* notes) {
  return load_document<PolicyAst>(text, detail::read_policy, notes);
}

PolicyReading read_policy_past_faulty_rules(std::string_view text, ReadNotes* notes) {
  std::vector<detail::SkippedItem> skipped;
  auto policy = load_document<PolicyAst>(text, detail::read_policy, notes, &skipped);
  PolicyReading reading{std::move(policy), {}};
  reading.skipped.reserve(skipped.size());
  for (detail::SkippedItem& item : skipped) {
    reading.skipped.push_back(SkippedRule{item.index, std::move(item.error)});
  }
  return reading;
}

Result<GovernanceAst, LoadError> load_governance(std::string_view text, ReadNotes* notes) {
  return load_document<GovernanceAst>(text, detail::read_governance, notes);
}

}  // namespace kavro::documents
