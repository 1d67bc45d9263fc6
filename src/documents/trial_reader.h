// Trial reading: values read from a typed value tree, so that the variants of
// a choice can each be tried against the same value. Every reader has
// `value_type` and `Result<value_type, TrialFailure> read(const TreeNode&) const`.
// Failures carry no location: a choice discards them, and only the outermost
// choice's own message leaves trial reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "documents/field_table.h"
#include "documents/read_messages.h"
#include "documents/value_tree.h"
#include "support/result.h"

namespace kavro::documents::detail {

struct TrialFailure {
  explicit TrialFailure(std::string text) : message(std::move(text)) {}
  std::string message;
};

// A text node only; numbers and booleans are not text here.
struct TreeTextReader {
  using value_type = std::string;
  Result<std::string, TrialFailure> read(const TreeNode& node) const;
};

// Any integer or float node, integers converted.
struct TreeFloatReader {
  using value_type = double;
  Result<double, TrialFailure> read(const TreeNode& node) const;
};

// A non-negative integer node.
struct TreeCountReader {
  using value_type = std::uint64_t;
  Result<std::uint64_t, TrialFailure> read(const TreeNode& node) const;
};

struct TreeBooleanReader {
  using value_type = bool;
  Result<bool, TrialFailure> read(const TreeNode& node) const;
};

template <class Element>
struct TreeSequenceReader {
  using value_type = std::vector<typename Element::value_type>;
  Element element;

  Result<value_type, TrialFailure> read(const TreeNode& node) const {
    const auto* nodes = std::get_if<TreeNode::Sequence>(&node.value);
    if (nodes == nullptr)
      return fail(TrialFailure(invalid_type(describe_found(node), "a sequence")));
    value_type items;
    items.reserve(nodes->size());
    for (const TreeNode& item : *nodes) {
      auto value = element.read(item);
      if (!value) return fail(std::move(value).error());
      items.push_back(std::move(value).value());
    }
    return items;
  }
};

// A record from a mapping whose keys are texts naming fields or unsigned
// integers giving a field's position. A shape whose `sequence_form` is true
// also accepts a sequence holding every field in declaration order.
template <class Shape>
struct TreeRecordReader {
  using value_type = typename Shape::value_type;
  using Table = FieldTable<Shape>;

  Result<value_type, TrialFailure> read(const TreeNode& node) const {
    RecordAssembly<Shape, TrialFailure> record;
    if (const auto* entries = std::get_if<TreeNode::Mapping>(&node.value)) {
      for (const TreeEntry& entry : *entries) {
        auto field = field_of(entry.key);
        if (!field) return fail(std::move(field).error());
        if (*field >= Table::size) continue;
        auto taken =
            record.take(*field, [&](const auto& reader) { return reader.read(entry.value); });
        if (!taken) return fail(std::move(taken).error());
      }
      return std::move(record).finish();
    }
    const auto* items = std::get_if<TreeNode::Sequence>(&node.value);
    if (!has_sequence_form() || items == nullptr) {
      return fail(TrialFailure(invalid_type(describe_found(node), expected_record<Shape>())));
    }
    if (items->size() != Table::size) {
      return fail(TrialFailure(invalid_length(items->size(), Shape::name, Table::size)));
    }
    for (std::size_t i = 0; i < Table::size; ++i) {
      auto taken = record.take(i, [&](const auto& reader) { return reader.read((*items)[i]); });
      if (!taken) return fail(std::move(taken).error());
    }
    return std::move(record).finish();
  }

 private:
  static constexpr bool has_sequence_form() {
    if constexpr (requires { Shape::sequence_form; }) {
      return Shape::sequence_form;
    } else {
      return false;
    }
  }

  // The field a key selects; `Table::size` for a key that selects none.
  static Result<std::size_t, TrialFailure> field_of(const TreeNode& key) {
    if (const auto* text = std::get_if<std::string_view>(&key.value)) return Table::find(*text);
    if (const auto* position = std::get_if<std::uint64_t>(&key.value)) {
      return *position < Table::size ? static_cast<std::size_t>(*position) : Table::size;
    }
    return fail(TrialFailure(invalid_type(describe_found(key), "field identifier")));
  }
};

// A choice: `Choice::variants` holds one reader per variant, in trial order;
// the first that reads the node is the result.
template <class Choice>
struct TreeChoiceReader {
  using value_type = typename Choice::value_type;

  Result<value_type, TrialFailure> read(const TreeNode& node) const {
    std::optional<value_type> chosen;
    std::apply(
        [&](const auto&... variant) { ((chosen || try_variant(variant, node, chosen)), ...); },
        Choice::variants);
    if (!chosen) return fail(TrialFailure(no_matching_variant(Choice::name)));
    return std::move(*chosen);
  }

 private:
  template <class Variant>
  static bool try_variant(const Variant& variant, const TreeNode& node,
                          std::optional<value_type>& chosen) {
    auto value = variant.read(node);
    if (!value) return false;
    chosen.emplace(std::move(value).value());
    return true;
  }
};

}  // namespace kavro::documents::detail
