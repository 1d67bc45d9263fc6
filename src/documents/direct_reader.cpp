#include "documents/direct_reader.h"

#include <limits>

#include "documents/wide_integer.h"

namespace kavro::documents::detail {

Result<std::string, LoadError> TextReader::read(ReadingContext& context, std::size_t index,
                                                const PathStep& path) const {
  const EventDocument& document = context.document();
  return read_located<std::string>(
      context, index, path, [&](std::size_t, const Event& event) -> Result<std::string, LoadError> {
        if (event.kind != EventKind::Scalar) {
          return fail(LoadError(invalid_type(document.found(event), "a string")));
        }
        return std::string(document.text(event));
      });
}

Result<std::uint32_t, LoadError> U32Reader::read(ReadingContext& context, std::size_t index,
                                                 const PathStep& path) const {
  const EventDocument& document = context.document();
  return read_located<std::uint32_t>(
      context, index, path,
      [&](std::size_t, const Event& event) -> Result<std::uint32_t, LoadError> {
        if (event.kind == EventKind::Scalar) {
          const TypedScalar typed = document.typed(event);
          if (const auto* number = std::get_if<std::uint64_t>(&typed)) {
            if (*number <= std::numeric_limits<std::uint32_t>::max()) {
              return static_cast<std::uint32_t>(*number);
            }
            return fail(LoadError(invalid_integer_value(std::to_string(*number), "u32")));
          }
          // Wider than 64 bits, typed as a float or as text, yet still an integer.
          if (document.is_plain(event)) {
            if (auto decimal = unsigned_integer_decimal(document.text(event))) {
              return fail(LoadError(invalid_integer_value(*decimal, "u32")));
            }
          }
        }
        return fail(LoadError(invalid_type(document.found(event), "u32")));
      });
}

Result<bool, LoadError> BooleanReader::read(ReadingContext& context, std::size_t index,
                                            const PathStep& path) const {
  const EventDocument& document = context.document();
  return read_located<bool>(
      context, index, path, [&](std::size_t, const Event& event) -> Result<bool, LoadError> {
        if (event.kind == EventKind::Scalar) {
          const TypedScalar typed = document.typed(event);
          if (const auto* value = std::get_if<bool>(&typed)) return *value;
        }
        return fail(LoadError(invalid_type(document.found(event), "a boolean")));
      });
}

Result<std::optional<std::string_view>, LoadError> key_text(ReadingContext& context,
                                                            std::size_t index) {
  auto resolved = context.resolve(index);
  if (!resolved) return fail(std::move(resolved).error());
  const Event& event = context.document()[*resolved];
  if (event.kind != EventKind::Scalar) return std::optional<std::string_view>();
  return std::optional<std::string_view>(context.document().text(event));
}

namespace {

// The inner places an author's tool points at are a few levels deep
// (all[1].value.subject.field) and named by the language's short words; keys
// beyond these bounds are not the language's, and noting them would let a
// long key or deep junk inside a condition cost more than its text.
constexpr std::size_t kInnerPlaceDepth = 5;
constexpr std::size_t kInnerPlaceKeySize = 64;

void note_places_below(const EventDocument& document, std::size_t index, const std::string& path,
                       std::size_t depth, ReadNotes& notes) {
  const Event& event = document[index];
  const bool mapping = event.kind == EventKind::MappingStart;
  if (!mapping && event.kind != EventKind::SequenceStart) return;
  const EventKind end = mapping ? EventKind::MappingEnd : EventKind::SequenceEnd;
  std::size_t n = 0;
  for (std::size_t i = index + 1; i < document.size() && document[i].kind != end;
       i = document.after(mapping ? document.after(i) : i), ++n) {
    const std::size_t value = mapping ? document.after(i) : i;
    if (value >= document.size()) return;
    std::string step = path;
    if (mapping) {
      // A key that is a sequence or mapping names no place.
      if (document[i].kind != EventKind::Scalar) continue;
      const std::string_view key = document.text(document[i]);
      if (key.size() > kInnerPlaceKeySize) continue;
      step += '.';
      step += key;
    } else {
      step += '[' + std::to_string(n) + ']';
    }
    notes.places.emplace_back(step, document.position(document[value]));
    if (depth > 1) note_places_below(document, value, step, depth - 1, notes);
  }
}

}  // namespace

void note_inner_places(const EventDocument& document, std::size_t index, const std::string& path,
                       ReadNotes& notes) {
  note_places_below(document, index, path, kInnerPlaceDepth, notes);
}

}  // namespace kavro::documents::detail
