// Direct reading: values read straight from the event stream, one reader per
// kind of value. Every reader has `value_type` and
//   Result<value_type, LoadError> read(ReadingContext&, std::size_t index,
//                                      const PathStep& path) const
// which reads the node at `index`. A record-level message that passes through
// a reader unlocated gets that reader's path and the node's position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/field_table.h"
#include "documents/load_error.h"
#include "documents/location_path.h"
#include "documents/read_messages.h"
#include "documents/reading_context.h"
#include "documents/tree_keys.h"
#include "documents/trial_reader.h"
#include "documents/value_tree.h"
#include "support/result.h"
#include "support/string_map.h"

namespace kavro::documents::detail {

// Resolves the node at `index` and runs `body(resolved_index, event)`,
// locating an unlocated record-level failure at `path` and the event.
template <class Value, class Body>
Result<Value, LoadError> read_located(ReadingContext& context, std::size_t index,
                                      const PathStep& path, Body&& body) {
  auto resolved = context.resolve(index);
  if (!resolved) return fail(std::move(resolved).error());
  const Event& event = context.document()[*resolved];
  if (ReadNotes* notes = context.notes();
      notes && notes->wants_place(path.is_index(), path.key_text())) {
    notes->places.emplace_back(path.render(), context.document().position(event));
  }
  Result<Value, LoadError> result = body(*resolved, event);
  if (!result && result.error().wants_location()) {
    result.error().locate(path.render(), context.document().position(event));
  }
  return result;
}

// Any scalar, as written.
struct TextReader {
  using value_type = std::string;
  Result<std::string, LoadError> read(ReadingContext& context, std::size_t index,
                                      const PathStep& path) const;
};

struct U32Reader {
  using value_type = std::uint32_t;
  Result<std::uint32_t, LoadError> read(ReadingContext& context, std::size_t index,
                                        const PathStep& path) const;
};

struct BooleanReader {
  using value_type = bool;
  Result<bool, LoadError> read(ReadingContext& context, std::size_t index,
                               const PathStep& path) const;
};

// Absent when the key is missing or its value is a plain null scalar.
template <class Inner>
struct OptionalReader {
  using value_type = std::optional<typename Inner::value_type>;
  static constexpr bool is_optional = true;
  Inner inner;

  Result<value_type, LoadError> read(ReadingContext& context, std::size_t index,
                                     const PathStep& path) const {
    auto resolved = context.resolve(index);
    if (!resolved) return fail(std::move(resolved).error());
    if (context.document().is_null(context.document()[*resolved])) return value_type();
    auto value = inner.read(context, *resolved, path);
    if (!value) return fail(std::move(value).error());
    return value_type(std::move(value).value());
  }
};

// A sequence, or nothing (an empty plain scalar) for an empty one. With
// `kSkipping`, an item whose own reading fails is left out and its error goes
// to the context's skipped items when it has them: the item is a unit the
// rest of the document does not depend on. Faults of the document itself
// (its syntax, the budgets) still end the reading.
template <class Element, bool kSkipping = false>
struct SequenceReader {
  using value_type = std::vector<typename Element::value_type>;
  Element element;

  Result<value_type, LoadError> read(ReadingContext& context, std::size_t index,
                                     const PathStep& path) const {
    const EventDocument& document = context.document();
    return read_located<value_type>(
        context, index, path,
        [&](std::size_t at, const Event& event) -> Result<value_type, LoadError> {
          value_type items;
          if (document.is_empty_plain(event)) return items;
          if (event.kind != EventKind::SequenceStart) {
            return fail(LoadError(invalid_type(document.found(event), "a sequence")));
          }
          NestingLevel level(context);
          if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
          for (std::size_t i = at + 1, n = 0;; i = document.after(i), ++n) {
            if (i >= document.size()) return fail(document.end_error());
            if (document[i].kind == EventKind::SequenceEnd) break;
            const PathStep step = PathStep::index(path, n);
            auto item = element.read(context, i, step);
            if (!item) {
              std::vector<SkippedItem>* skipped = context.skipped();
              if (!kSkipping || skipped == nullptr ||
                  item.error().kind() != LoadError::Kind::Record) {
                return fail(std::move(item).error());
              }
              skipped->push_back(SkippedItem{n, std::move(item).error()});
              continue;
            }
            items.push_back(std::move(item).value());
          }
          return items;
        });
  }
};

// A mapping from names to items; a name given twice keeps the later item.
template <class Item>
struct NameMapReader {
  using value_type = StringMap<typename Item::value_type>;
  Item item;

  Result<value_type, LoadError> read(ReadingContext& context, std::size_t index,
                                     const PathStep& path) const {
    const EventDocument& document = context.document();
    return read_located<value_type>(
        context, index, path,
        [&](std::size_t at, const Event& event) -> Result<value_type, LoadError> {
          value_type entries;
          if (document.is_empty_plain(event)) return entries;
          if (event.kind != EventKind::MappingStart) {
            return fail(LoadError(invalid_type(document.found(event), "a map")));
          }
          NestingLevel level(context);
          if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
          for (std::size_t i = at + 1;; i = document.after(document.after(i))) {
            if (i >= document.size()) return fail(document.end_error());
            if (document[i].kind == EventKind::MappingEnd) break;
            auto name = TextReader{}.read(context, i, path);
            if (!name) return fail(std::move(name).error());
            const PathStep step = PathStep::key(path, *name);
            auto value = item.read(context, document.after(i), step);
            if (!value) return fail(std::move(value).error());
            entries.insert_or_assign(std::move(name).value(), std::move(value).value());
          }
          return entries;
        });
  }
};

// A named value: `Names` lists `value_type`, its `spellings` in declaration
// order and the matching `values`.
template <class Names>
struct NamedValueReader {
  using value_type = typename Names::value_type;
  // unknown_variant writes only the "one of" form.
  static_assert(Names::spellings.size() > 2, "a named value needs three or more spellings");

  Result<value_type, LoadError> read(ReadingContext& context, std::size_t index,
                                     const PathStep& path) const {
    const EventDocument& document = context.document();
    return read_located<value_type>(
        context, index, path,
        [&](std::size_t, const Event& event) -> Result<value_type, LoadError> {
          const auto tag = document.tag(event);
          if (tag && tag->size() > 1 && tag->front() == '!') {
            auto value = lookup(tag->substr(1));
            if (!value) return value;
            // The tag names the value; nothing may be written after it.
            const bool empty = event.kind == EventKind::Scalar &&
                               event.style == ScalarStyle::Plain &&
                               is_null_text(document.text(event));
            if (empty) return value;
            const std::string found =
                event.kind == EventKind::Scalar
                    ? describe_found(
                          type_scalar(document.text(event), event.style == ScalarStyle::Plain))
                    : document.found(event);
            return fail(LoadError(invalid_type(found, "an empty value")));
          }
          if (event.kind != EventKind::Scalar) {
            return fail(
                LoadError(invalid_type(document.found(event), "a YAML tag starting with '!'")));
          }
          return lookup(document.text(event));
        });
  }

 private:
  static Result<value_type, LoadError> lookup(std::string_view spelling) {
    for (std::size_t i = 0; i < Names::spellings.size(); ++i) {
      if (Names::spellings[i] == spelling) return Names::values[i];
    }
    return fail(LoadError(unknown_variant(spelling, Names::spellings)));
  }
};

// The text of the key at `index` when it is a scalar (through an alias), or
// nothing for a sequence or mapping key.
Result<std::optional<std::string_view>, LoadError> key_text(ReadingContext& context,
                                                            std::size_t index);

// Notes the key at `index` as skipped, when notes are collected; `known`
// lists the record's keys and is only called then.
template <class Known>
void note_ignored_key(ReadingContext& context, std::size_t index, const PathStep& record,
                      std::string_view key, Known&& known) {
  ReadNotes* notes = context.notes();
  if (notes == nullptr || !notes->note_ignored_keys) return;
  notes->ignored_keys.push_back(IgnoredKey{record.render(), std::string(key),
                                           context.document().position(context.document()[index]),
                                           known()});
}

// A record described by `Shape` (see field_table.h), from a mapping; an empty
// plain scalar is an empty mapping. Unknown keys are skipped unread.
template <class Shape>
struct RecordReader {
  using value_type = typename Shape::value_type;

  Result<value_type, LoadError> read(ReadingContext& context, std::size_t index,
                                     const PathStep& path) const {
    const EventDocument& document = context.document();
    return read_located<value_type>(
        context, index, path,
        [&](std::size_t at, const Event& event) -> Result<value_type, LoadError> {
          RecordAssembly<Shape, LoadError> record;
          if (document.is_empty_plain(event)) return std::move(record).finish();
          if (event.kind != EventKind::MappingStart) {
            return fail(LoadError(invalid_type(document.found(event), expected_record<Shape>())));
          }
          NestingLevel level(context);
          if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
          for (std::size_t i = at + 1;; i = document.after(document.after(i))) {
            if (i >= document.size()) return fail(document.end_error());
            if (document[i].kind == EventKind::MappingEnd) break;
            auto key = key_text(context, i);
            if (!key) return fail(std::move(key).error());
            if (!*key) continue;
            const std::size_t field = FieldTable<Shape>::find(**key);
            if (field == FieldTable<Shape>::size) {
              note_ignored_key(context, i, path, **key, FieldTable<Shape>::keys);
              continue;
            }
            const PathStep step = PathStep::key(path, **key);
            const std::size_t value_index = document.after(i);
            auto taken = record.take(
                field, [&](const auto& reader) { return reader.read(context, value_index, step); });
            if (!taken) return fail(std::move(taken).error());
          }
          return std::move(record).finish();
        });
  }
};

// Notes where each value below the node at `index` starts ("<path>.key",
// "<path>[n]"), for a caller that wants every place: as deep and with keys as
// long as the language's own, so that the notes stay in proportion to the
// text. The node is read whole already: its events are complete.
void note_inner_places(const EventDocument& document, std::size_t index, const std::string& path,
                       ReadNotes& notes);

// A shape-recognised choice: the value is taken whole into a tree, then the
// variants of `Choice` are tried (trial_reader.h). Only the outermost choice's
// message survives; it is located by the record that holds the key. A caller
// that wants every place gets the places of the values inside the choice too,
// which point at the part of a condition a later error is about.
template <class Choice>
struct ChoiceReader {
  using value_type = typename Choice::value_type;

  Result<value_type, LoadError> read(ReadingContext& context, std::size_t index,
                                     const PathStep& path) const {
    auto tree = take_tree(context, index);
    if (!tree) return fail(std::move(tree).error());
    auto value = TreeChoiceReader<Choice>{}.read(*tree);
    if (!value) return fail(LoadError(std::move(value).error().message));
    ReadNotes* notes = context.notes();
    if (notes && notes->wants_place(path.is_index(), path.key_text())) {
      const Position position = context.document().position(context.document()[index]);
      const std::string place = path.render();
      notes->places.emplace_back(place, position);
      if (notes->place_keys.empty()) note_inner_places(context.document(), index, place, *notes);
      if (notes->note_ignored_keys) {
        TreeKeyNotes keys{position, notes->ignored_keys};
        note_tree_keys(TreeChoiceReader<Choice>{}, *tree, place, keys);
      }
    } else if (notes && notes->note_ignored_keys) {
      TreeKeyNotes keys{context.document().position(context.document()[index]),
                        notes->ignored_keys};
      note_tree_keys(TreeChoiceReader<Choice>{}, *tree, path.render(), keys);
    }
    return std::move(value).value();
  }
};

}  // namespace kavro::documents::detail
