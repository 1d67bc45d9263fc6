// The typed value tree of trial reading: a value below a key taken whole from
// the events, scalars typed, aliases copied. Its depth is bounded by the
// nesting budget. Texts are views of the document's pool, so a tree must not
// outlive the document it was taken from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "documents/load_error.h"
#include "documents/reading_context.h"
#include "documents/scalar_typing.h"
#include "support/result.h"

namespace kavro::documents::detail {

struct TreeEntry;

struct TreeNode {
  using Sequence = std::vector<TreeNode>;
  using Mapping = std::vector<TreeEntry>;  // in document order; keys are nodes too

  std::variant<NullScalar, bool, std::uint64_t, std::int64_t, double, std::string_view, Sequence,
               Mapping>
      value;
};

struct TreeEntry {
  TreeNode key;
  TreeNode value;
};

// Takes the node at `index` whole. Fails only where the events fail: the end
// of a document cut short, the nesting budget, the repetition limit.
Result<TreeNode, LoadError> take_tree(ReadingContext& context, std::size_t index);

// "<found>" for a node: "sequence", "map", or the scalar as typed.
std::string describe_found(const TreeNode& node);

}  // namespace kavro::documents::detail
