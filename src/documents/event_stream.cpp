#include "documents/event_stream.h"

#include <algorithm>
#include <map>
#include <utility>

#include <yaml.h>

namespace kavro::documents::detail {

EventCounters EventDocument::wide_counters(const Event& event) const {
  return wide_.find(static_cast<std::size_t>(&event - events_.data()))->second;
}

void EventDocument::set_wide_counters(std::size_t index, const EventCounters& counters) {
  Event& event = events_[index];
  if (!fits_narrow(counters)) {
    event.wide = true;
    wide_[index] = counters;
    return;
  }
  if (event.wide) wide_.erase(index);
  event.wide = false;
  set_narrow(event, counters);
}

Position EventDocument::position(const Event& event) const {
  const EventCounters full = counters(event);
  return Position{0, full.line, full.column};
}

std::optional<std::string_view> EventDocument::tag(const Event& event) const {
  if (!event.has_tag) return std::nullopt;
  const std::size_t index = static_cast<std::size_t>(&event - events_.data());
  const auto span = std::lower_bound(
      tags_.begin(), tags_.end(), index,
      [](const TagSpan& candidate, std::size_t wanted) { return candidate.event < wanted; });
  return std::string_view(tag_pool_).substr(span->offset, span->size);
}

bool EventDocument::is_null(const Event& event) const {
  return is_plain(event) && is_null_text(text(event));
}

TypedScalar EventDocument::typed(const Event& event) const {
  return type_scalar(text(event), is_plain(event));
}

std::string EventDocument::found(const Event& event) const {
  switch (event.kind) {
    case EventKind::SequenceStart:
      return "sequence";
    case EventKind::MappingStart:
      return "map";
    case EventKind::Scalar:
    case EventKind::Alias:
    case EventKind::SequenceEnd:
    case EventKind::MappingEnd:
      break;
  }
  return describe_found(typed(event));
}

std::size_t EventDocument::weight(std::size_t index) const {
  return weight_before(after(index)) - weight_before(index);
}

LoadError EventDocument::end_error() const {
  return stop_ ? *stop_ : LoadError::end_of_stream();
}

// Turns libyaml events into an EventDocument, cutting it short at the first
// alias without anchor or container nested too deep.
class DocumentBuilder {
 public:
  // Room for the events and values of a text of `text_size` bytes, so that
  // the buffers are not copied as they grow.
  explicit DocumentBuilder(std::size_t text_size) {
    document_.pool_.reserve(text_size);
    document_.events_.reserve(text_size / kBytesPerEventGuess + 1);
  }

  // False when the document was cut short at this event.
  bool add(const yaml_event_t& raw) {
    Event event;
    EventCounters counters;
    counters.line = raw.start_mark.line;
    counters.column = raw.start_mark.column;
    counters.text_offset = document_.pool_.size();
    const Position position{0, counters.line, counters.column};
    const yaml_char_t* anchor = nullptr;
    switch (raw.type) {
      case YAML_SCALAR_EVENT: {
        const auto& scalar = raw.data.scalar;
        event.kind = EventKind::Scalar;
        event.style =
            scalar.style == YAML_PLAIN_SCALAR_STYLE ? ScalarStyle::Plain
            : scalar.style == YAML_LITERAL_SCALAR_STYLE || scalar.style == YAML_FOLDED_SCALAR_STYLE
                ? ScalarStyle::Block
                : ScalarStyle::Quoted;
        document_.pool_.append(reinterpret_cast<const char*>(scalar.value), scalar.length);
        counters.size_or_link = scalar.length;
        set_tag(event, scalar.tag);
        anchor = scalar.anchor;
        break;
      }
      case YAML_ALIAS_EVENT: {
        event.kind = EventKind::Alias;
        const auto found = anchors_.find(as_text(raw.data.alias.anchor));
        if (found == anchors_.end()) return stop(LoadError::unknown_anchor(position));
        counters.size_or_link = found->second;
        break;
      }
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        if (open_.size() == kNestingBudget) return stop(LoadError::recursion_limit(position));
        event.kind = raw.type == YAML_SEQUENCE_START_EVENT ? EventKind::SequenceStart
                                                           : EventKind::MappingStart;
        anchor = raw.type == YAML_SEQUENCE_START_EVENT ? raw.data.sequence_start.anchor
                                                       : raw.data.mapping_start.anchor;
        open_.push_back(document_.events_.size());
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        event.kind =
            raw.type == YAML_SEQUENCE_END_EVENT ? EventKind::SequenceEnd : EventKind::MappingEnd;
        if (!open_.empty()) {
          set_link(open_.back(), document_.events_.size() + 1);
          open_.pop_back();
        }
        break;
      case YAML_NO_EVENT:
      case YAML_STREAM_START_EVENT:
      case YAML_STREAM_END_EVENT:
      case YAML_DOCUMENT_START_EVENT:
      case YAML_DOCUMENT_END_EVENT:
        return true;
    }
    // A later anchor of the same name replaces the earlier one.
    if (anchor != nullptr) anchors_[std::string(as_text(anchor))] = document_.events_.size();
    document_.events_.push_back(event);
    document_.set_counters(document_.events_.size() - 1, counters);
    return true;
  }

  bool stop(LoadError error) {
    document_.stop_ = std::move(error);
    return false;
  }

  EventDocument finish() && {
    for (std::size_t start : open_) set_link(start, document_.events_.size());
    return std::move(document_);
  }

 private:
  static std::string_view as_text(const yaml_char_t* text) {
    return reinterpret_cast<const char*>(text);
  }

  // Policies run at about eight bytes of text per event; a guess that
  // is too small only lets the vector grow as usual.
  static constexpr std::size_t kBytesPerEventGuess = 8;

  void set_link(std::size_t index, std::size_t link) {
    EventCounters counters = document_.counters(document_.events_[index]);
    counters.size_or_link = link;
    document_.set_counters(index, counters);
  }

  void set_tag(Event& event, const yaml_char_t* tag) {
    if (tag == nullptr) return;
    const std::string_view text = as_text(tag);
    event.has_tag = true;
    document_.tags_.push_back({document_.events_.size(), document_.tag_pool_.size(), text.size()});
    document_.tag_pool_.append(text);
  }

  EventDocument document_;
  std::vector<std::size_t> open_;
  std::map<std::string, std::size_t, std::less<>> anchors_;  // ordered: no hash flooding
};

namespace {

// One parsed event, released when it goes out of scope.
class ParsedEvent {
 public:
  ParsedEvent() = default;
  ParsedEvent(const ParsedEvent&) = delete;
  ParsedEvent& operator=(const ParsedEvent&) = delete;
  ~ParsedEvent() {
    if (parsed_) yaml_event_delete(&event_);
  }

  // False when the parser failed.
  bool parse(yaml_parser_t& parser) {
    parsed_ = yaml_parser_parse(&parser, &event_) != 0;
    // A parser that already failed hands out empty events.
    return parsed_ && event_.type != YAML_NO_EVENT;
  }
  const yaml_event_t& get() const { return event_; }
  yaml_event_type_t type() const { return event_.type; }

 private:
  yaml_event_t event_{};
  bool parsed_ = false;
};

}  // namespace

void YamlEventStream::ParserDeleter::operator()(yaml_parser_s* parser) const {
  yaml_parser_delete(parser);
  delete parser;
}

YamlEventStream::YamlEventStream(std::string_view text)
    : text_(text), parser_(new yaml_parser_t{}) {
  if (yaml_parser_initialize(parser_.get()) == 0) return;  // parse() then reports the failure
  yaml_parser_set_input_string(parser_.get(), reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  // Texts are UTF-8, so byte-order marks of other encodings must not switch
  // the decoding. A UTF-8 mark is left to the parser's detection, which drops
  // it; with a forced encoding it would be read as a character of the first
  // line and shift that line's indentation.
  if (!text.starts_with("\xEF\xBB\xBF")) {
    yaml_parser_set_encoding(parser_.get(), YAML_UTF8_ENCODING);
  }
}

LoadError YamlEventStream::parser_error() const {
  const yaml_parser_t& parser = *parser_;
  const auto position = [](const yaml_mark_t& mark) {
    return Position{mark.index, mark.line, mark.column};
  };
  std::string problem = parser.problem != nullptr ? parser.problem
                        : parser.error == YAML_MEMORY_ERROR
                            ? "out of memory"
                            : "the YAML parser failed without naming the problem";
  std::optional<std::string> context;
  if (parser.context != nullptr) context = parser.context;
  return LoadError::parser(std::move(problem), position(parser.problem_mark), parser.problem_offset,
                           std::move(context), position(parser.context_mark));
}

namespace {

// libyaml compares each %TAG directive with every earlier one, so their number
// is bounded before the parser sees the text. Directives start a line; a
// quoted scalar continuing onto a line that starts with %TAG counts as well.
inline constexpr std::size_t kTagDirectiveLimit = 64;

std::optional<LoadError> too_many_tag_directives(std::string_view text) {
  std::size_t count = 0;
  std::size_t line = 0;
  for (std::size_t start = 0; start < text.size(); ++line) {
    if (text.compare(start, 4, "%TAG") == 0 && ++count > kTagDirectiveLimit) {
      return LoadError::parser("more than 64 %TAG directives", Position{start, line, 0}, start,
                               std::nullopt, Position{});
    }
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

Result<EventDocument, LoadError> YamlEventStream::first_document() {
  if (auto refused = too_many_tag_directives(text_)) return fail(std::move(*refused));
  DocumentBuilder builder(text_.size());
  bool in_document = false;
  for (;;) {
    ParsedEvent event;
    if (!event.parse(*parser_)) {
      builder.stop(parser_error());
      return std::move(builder).finish();
    }
    switch (event.type()) {
      case YAML_STREAM_END_EVENT:
        if (!in_document) return fail(LoadError::end_of_stream());
        return std::move(builder).finish();
      case YAML_DOCUMENT_START_EVENT:
        in_document = true;
        break;
      case YAML_DOCUMENT_END_EVENT:
        return std::move(builder).finish();
      case YAML_NO_EVENT:
      case YAML_STREAM_START_EVENT:
      case YAML_ALIAS_EVENT:
      case YAML_SCALAR_EVENT:
      case YAML_SEQUENCE_START_EVENT:
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_START_EVENT:
      case YAML_MAPPING_END_EVENT:
        if (!builder.add(event.get())) return std::move(builder).finish();
        break;
    }
  }
}

Result<Unit, LoadError> YamlEventStream::expect_end() {
  ParsedEvent event;
  if (!event.parse(*parser_)) return fail(parser_error());
  if (event.type() == YAML_STREAM_END_EVENT) return Unit{};
  return fail(LoadError::more_than_one_document());
}

}  // namespace kavro::documents::detail
