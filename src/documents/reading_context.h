// State shared by all readers of one document: the events, the nesting budget
// and the alias counters. Not thread-safe; lives for one load.
#pragma once

#include <cstddef>
#include <vector>

#include "documents/event_stream.h"
#include "documents/load_error.h"
#include "documents/read_notes.h"
#include "support/result.h"

namespace kavro::documents::detail {

class ReadingContext;

// A list item that did not read, skipped by a reading that goes on past it.
struct SkippedItem {
  std::size_t index;  // in its list, from 0
  LoadError error;
};

// One level of the nesting budget, taken for as long as the object lives.
class NestingLevel {
 public:
  explicit NestingLevel(ReadingContext& context);
  ~NestingLevel();
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;

  // False when the budget was used up; the caller then fails.
  bool entered() const { return entered_; }

 private:
  ReadingContext& context_;
  bool entered_;
};

class ReadingContext {
 public:
  // `notes`, when given, collects what reading noticed (see read_notes.h).
  // `skipped`, when given, takes the record faults of the items of a list
  // read by a skipping reader, which then goes on with the next item.
  explicit ReadingContext(const EventDocument& document, ReadNotes* notes = nullptr,
                          std::vector<SkippedItem>* skipped = nullptr)
      : document_(document), notes_(notes), skipped_(skipped) {}

  const EventDocument& document() const { return document_; }
  ReadNotes* notes() const { return notes_; }
  std::vector<SkippedItem>* skipped() const { return skipped_; }

  // The node that `index` stands for: the anchored node when it is an alias.
  // Fails when reading has reached the end of the collected events, or when
  // following the alias goes over the repetition limit.
  Result<std::size_t, LoadError> resolve(std::size_t index);
  // Counts one node of a trial-reading tree; false when there are too many,
  // which fails like the repetition limit.
  bool add_tree_node();

 private:
  friend class NestingLevel;

  const EventDocument& document_;
  ReadNotes* notes_;
  std::vector<SkippedItem>* skipped_;
  std::size_t levels_left_ = kNestingBudget;
  std::size_t aliases_followed_ = 0;
  std::size_t weight_replayed_ = 0;
  std::size_t events_replayed_ = 0;
  std::size_t tree_nodes_ = 0;
};

}  // namespace kavro::documents::detail
