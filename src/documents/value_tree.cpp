#include "documents/value_tree.h"

#include <utility>

namespace kavro {

Result<TreeNode, LoadError> take_tree(ReadingContext& context, std::size_t index) {
  auto resolved = context.resolve(index);
  if (!resolved) return fail(std::move(resolved).error());
  if (!context.add_tree_node()) return fail(LoadError::repetition_limit());
  const EventDocument& document = context.document();
  const Event& event = document[*resolved];
  if (event.kind == EventKind::Scalar) {
    return std::visit([](auto scalar) { return TreeNode{scalar}; }, document.typed(event));
  }
  NestingLevel level(context);
  if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
  const bool is_mapping = event.kind == EventKind::MappingStart;
  TreeNode::Sequence items;
  TreeNode::Mapping entries;
  // Counted first so that each node's children take one allocation.
  const std::size_t children = document.count_items(*resolved);
  if (is_mapping) {
    entries.reserve(children / 2);
  } else {
    items.reserve(children);
  }
  for (std::size_t i = *resolved + 1;; i = document.after(i)) {
    if (i >= document.size()) return fail(document.end_error());
    const EventKind kind = document[i].kind;
    if (kind == EventKind::SequenceEnd || kind == EventKind::MappingEnd) break;
    auto node = take_tree(context, i);
    if (!node) return node;
    if (!is_mapping) {
      items.push_back(std::move(node).value());
      continue;
    }
    i = document.after(i);
    auto value = take_tree(context, i);
    if (!value) return value;
    entries.push_back(TreeEntry{std::move(node).value(), std::move(value).value()});
  }
  if (is_mapping) return TreeNode{std::move(entries)};
  return TreeNode{std::move(items)};
}

std::string describe_found(const TreeNode& node) {
  return std::visit(
      [](const auto& value) -> std::string {
        using Value = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Value, TreeNode::Sequence>) {
          return "sequence";
        } else if constexpr (std::is_same_v<Value, TreeNode::Mapping>) {
          return "map";
        } else {
          return describe_found(TypedScalar(value));
        }
      },
      node.value);
}

}  // namespace kavro
