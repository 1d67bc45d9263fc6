// The keys a trial-read value skipped: the tree readers ignore keys that name
// no field, as the direct readers do. Run only for notes, after the value was
// read, so every choice inside is resolved again to the variant the reader
// took (the first that reads). Keys are reported at the value's position,
// since tree nodes keep none.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "documents/read_notes.h"
#include "documents/trial_reader.h"

namespace kavro {

struct TreeKeyNotes {
  Position position;  // of the whole value
  std::vector<IgnoredKey>& out;
};

template <class Reader>
void note_tree_keys(const Reader&, const TreeNode&, const std::string&, TreeKeyNotes&) {}

template <class Shape>
void note_tree_keys(const TreeRecordReader<Shape>&, const TreeNode& node, const std::string& path,
                    TreeKeyNotes& notes);

template <class Element>
void note_tree_keys(const TreeSequenceReader<Element>& reader, const TreeNode& node,
                    const std::string& path, TreeKeyNotes& notes) {
  const auto* items = std::get_if<TreeNode::Sequence>(&node.value);
  if (items == nullptr) return;
  for (std::size_t i = 0; i < items->size(); ++i) {
    note_tree_keys(reader.element, (*items)[i], path + "[" + std::to_string(i) + "]", notes);
  }
}

template <class Choice>
void note_tree_keys(const TreeChoiceReader<Choice>&, const TreeNode& node, const std::string& path,
                    TreeKeyNotes& notes) {
  bool chosen = false;
  std::apply(
      [&](const auto&... variant) {
        const auto visit = [&](const auto& reader) {
          if (chosen || !reader.read(node)) return;
          chosen = true;
          note_tree_keys(reader, node, path, notes);
        };
        (visit(variant), ...);
      },
      Choice::variants);
}

template <class Shape>
void note_tree_keys(const TreeRecordReader<Shape>&, const TreeNode& node, const std::string& path,
                    TreeKeyNotes& notes) {
  using Table = FieldTable<Shape>;
  const auto* entries = std::get_if<TreeNode::Mapping>(&node.value);
  if (entries == nullptr) return;
  for (const TreeEntry& entry : *entries) {
    const auto* key = std::get_if<std::string_view>(&entry.key.value);
    if (key == nullptr) continue;
    const std::size_t field = Table::find(*key);
    const std::string inner = path == "." ? std::string(*key) : path + "." + std::string(*key);
    if (field == Table::size) {
      notes.out.push_back(IgnoredKey{path, std::string(*key), notes.position, Table::keys()});
      continue;
    }
    Table::visit(field, [&](const auto& described) {
      note_tree_keys(described.reader, entry.value, inner, notes);
    });
  }
}

}  // namespace kavro
