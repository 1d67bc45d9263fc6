// The events of a YAML text, as libyaml delivers them: the first document is
// collected whole (with positions, anchors resolved to the anchored node), and
// the rest of the text is examined only on request. The parser is owned by
// YamlEventStream and released with it; the text must outlive the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents/load_error.h"
#include "documents/position.h"
#include "documents/scalar_typing.h"
#include "support/result.h"

struct yaml_parser_s;

namespace kavro {

// No document may nest deeper than this, whether or not the value is read.
inline constexpr std::size_t kNestingBudget = 128;

enum class EventKind : unsigned char {
  Scalar,
  Alias,
  SequenceStart,
  SequenceEnd,
  MappingStart,
  MappingEnd,
};

enum class ScalarStyle : unsigned char { Plain, Quoted, Block };

// Kept small, as a document holds one for every node event. Counters that
// do not fit 32 bits (only in texts of 4 GiB and more) are kept in full in a
// side table instead; read them through the document's accessors.
struct Event {
  EventKind kind = EventKind::Scalar;
  ScalarStyle style = ScalarStyle::Plain;
  bool has_tag = false;
  bool wide = false;  // the counters below are in the side table
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint32_t text_offset = 0;
  std::uint32_t size_or_link = 0;
};

// The counters of an event at full width.
struct EventCounters {
  std::size_t line = 0;
  std::size_t column = 0;
  // Scalars: where the value starts in the document's pool. Other events: the
  // pool's size when they came, so that offsets also count the bytes before.
  std::size_t text_offset = 0;
  // Scalars: the value's size. Start events: the index after the matching
  // end. Aliases: the index of the anchored node.
  std::size_t size_or_link = 0;
};

// The node events of the first document. When the parser stopped inside it
// (a syntax error, an unknown anchor, nesting over the budget), the events end
// early and `end_error()` says why.
class EventDocument {
 public:
  std::size_t size() const { return events_.size(); }
  const Event& operator[](std::size_t index) const { return events_[index]; }

  Position position(const Event& event) const;
  // Start events: the index after the matching end. Aliases: the index of
  // the anchored node.
  std::size_t link(const Event& event) const { return counters(event).size_or_link; }
  std::string_view text(const Event& event) const {
    return std::string_view(pool_).substr(counters(event).text_offset, text_size(event));
  }
  std::optional<std::string_view> tag(const Event& event) const;
  // Plain and untagged: the only scalars whose text is typed.
  bool is_plain(const Event& event) const {
    return event.kind == EventKind::Scalar && event.style == ScalarStyle::Plain && !event.has_tag;
  }
  bool is_empty_plain(const Event& event) const { return is_plain(event) && text_size(event) == 0; }
  bool is_null(const Event& event) const;
  TypedScalar typed(const Event& event) const;
  // "<found>" for the node that starts with `event`.
  std::string found(const Event& event) const;

  // The index following the whole node at `index` (its sibling, or its
  // parent's end event).
  std::size_t after(std::size_t index) const {
    if (index >= events_.size()) return events_.size();
    const Event& event = events_[index];
    const bool starts_container =
        event.kind == EventKind::SequenceStart || event.kind == EventKind::MappingStart;
    return starts_container ? link(event) : index + 1;
  }
  // The nodes directly inside the container that starts at `index` (keys and
  // values both count in a mapping), as far as the events were collected.
  std::size_t count_items(std::size_t index) const {
    std::size_t count = 0;
    for (std::size_t i = index + 1; i < events_.size(); i = after(i), ++count) {
      const EventKind kind = events_[i].kind;
      if (kind == EventKind::SequenceEnd || kind == EventKind::MappingEnd) break;
    }
    return count;
  }
  // Events plus scalar bytes of the node at `index`, aliases inside not followed.
  std::size_t weight(std::size_t index) const;
  std::size_t total_weight() const { return weight_before(events_.size()); }

  // What reading meets past the last collected event.
  LoadError end_error() const;
  bool complete() const { return !stop_.has_value(); }

 private:
  friend class DocumentBuilder;

  EventCounters counters(const Event& event) const {
    if (event.wide) [[unlikely]]
      return wide_counters(event);
    return {event.line, event.column, event.text_offset, event.size_or_link};
  }
  // Stores `counters` in the event at `index`, narrow when they fit.
  void set_counters(std::size_t index, const EventCounters& counters) {
    Event& event = events_[index];
    if (!event.wide && fits_narrow(counters)) [[likely]] {
      set_narrow(event, counters);
    } else {
      set_wide_counters(index, counters);
    }
  }
  EventCounters wide_counters(const Event& event) const;
  void set_wide_counters(std::size_t index, const EventCounters& counters);
  static bool fits_narrow(const EventCounters& counters) {
    constexpr std::size_t kNarrow = std::numeric_limits<std::uint32_t>::max();
    return counters.line <= kNarrow && counters.column <= kNarrow &&
           counters.text_offset <= kNarrow && counters.size_or_link <= kNarrow;
  }
  static void set_narrow(Event& event, const EventCounters& counters) {
    event.line = static_cast<std::uint32_t>(counters.line);
    event.column = static_cast<std::uint32_t>(counters.column);
    event.text_offset = static_cast<std::uint32_t>(counters.text_offset);
    event.size_or_link = static_cast<std::uint32_t>(counters.size_or_link);
  }
  std::size_t text_size(const Event& event) const {
    return event.kind == EventKind::Scalar ? counters(event).size_or_link : 0;
  }
  // Events and scalar bytes before `index`.
  std::size_t weight_before(std::size_t index) const {
    return index + (index < events_.size() ? counters(events_[index]).text_offset : pool_.size());
  }

  struct TagSpan {
    std::size_t event = 0;
    std::size_t offset = 0;  // in tag_pool_
    std::size_t size = 0;
  };

  std::vector<Event> events_;
  std::string pool_;  // scalar values only, in event order
  // Tags are rare: kept apart, ordered by event, so that pool offsets count
  // scalar bytes alone.
  std::vector<TagSpan> tags_;
  std::string tag_pool_;
  std::map<std::size_t, EventCounters> wide_;  // by event index
  std::optional<LoadError> stop_;
};

class YamlEventStream {
 public:
  explicit YamlEventStream(std::string_view text);

  // Collects the first document; fails only when the text holds no document.
  Result<EventDocument, LoadError> first_document();
  // After a complete first document: succeeds only if the text ends there.
  Result<Unit, LoadError> expect_end();

 private:
  LoadError parser_error() const;

  std::string_view text_;

  struct ParserDeleter {
    void operator()(yaml_parser_s* parser) const;
  };
  std::unique_ptr<yaml_parser_s, ParserDeleter> parser_;
};

}  // namespace kavro
