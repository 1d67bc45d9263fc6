#include "columnar/sequence_columns.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>
#include <variant>

#include "columnar/column_compare.h"
#include "documents/vocabulary.h"
#include "evaluation/evaluator.h"
#include "support/overloaded.h"
#include "support/text_equal.h"

namespace kavro::columnar::detail {

namespace {

using evaluation::ValueKind;
using evaluation::ValueView;
using evaluation::detail::Check;

// Whether the rule's condition is one this way decides: one comparison, or a
// flat list of them that needs all or any.
bool handled(const compiler::CompiledRule& rule) {
  const bool flat = std::visit(Overloaded{[](const compiler::AtomicCondition&) { return true; },
                                          [](const compiler::AllOf&) { return true; },
                                          [](const compiler::AnyOf&) { return true; },
                                          // Nested or negated: the row path walks it.
                                          [](const compiler::ConditionTree&) { return false; }},
                               rule.condition);
  const auto comparisons = evaluation::detail::comparisons_of(rule);
  return flat && std::all_of(comparisons.begin(), comparisons.end(),
                             [](const compiler::AtomicCondition& atomic) {
                               // Lists, presence and text prefixes are no
                               // outcome of comparing two values.
                               return documents::compares_values(atomic.op);
                             });
}

// Two checks with equal keys hold on the same rows.
std::string key_of(const Check& check) {
  std::string key(sizeof check.slot + 4 + sizeof check.extra, '\0');
  char* at = key.data();
  std::memcpy(at, &check.slot, sizeof check.slot);
  at += sizeof check.slot;
  *at++ = static_cast<char>(check.kind);
  *at++ = static_cast<char>(check.accepts);
  *at++ = static_cast<char>(check.two_fields);
  *at++ = static_cast<char>(check.two_fields ? static_cast<int>(check.op) : 0);
  std::memcpy(at, &check.extra, sizeof check.extra);
  if (check.two_fields) return key;
  if (check.kind == ValueKind::String) {
    key.append(check.text, check.extra);
  } else {
    key.append(reinterpret_cast<const char*>(&check.number), sizeof check.number);
  }
  return key;
}

// Packs holds(i) for i in [0, count) into bitmap words.
template <class Holds>
void pack(std::size_t count, std::uint64_t* out, Holds holds) {
  for (std::size_t base = 0; base < count; base += 64) {
    const std::size_t end = std::min<std::size_t>(64, count - base);
    std::uint64_t word = 0;
    for (std::size_t j = 0; j < end; ++j) {
      word |= static_cast<std::uint64_t>(holds(base + j)) << j;
    }
    out[base / 64] = word;
  }
}

// Packs bytes of 0 or 1 into bitmap words, eight at a time: the product
// gathers byte k's low bit into bit 56 + k. `mask` holds whole words of
// bytes; those past `count` are ignored.
void pack_bytes(const std::uint8_t* mask, std::size_t count, std::uint64_t* out) {
  constexpr std::uint64_t kGather = 0x0102040810204080;
  for (std::size_t base = 0; base < count; base += 64) {
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      std::uint64_t bytes;
      std::memcpy(&bytes, mask + base + k * 8, sizeof bytes);
      word |= ((bytes * kGather) >> 56) << (k * 8);
    }
    const std::size_t rest = count - base;
    out[base / 64] = rest >= 64 ? word : word & ((std::uint64_t{1} << rest) - 1);
  }
}

}  // namespace

SequenceColumns::SequenceColumns(std::span<const compiler::CompiledRule> rules)
    : rules_(rules), checks_(evaluation::detail::RuleChecks::build(rules, true)) {
  handles_ = std::all_of(rules.begin(), rules.end(), handled);
  std::unordered_map<std::string, std::uint32_t> ids;
  std::unordered_map<std::uint32_t, std::uint32_t> run_of_slot;
  const auto run_of = [&](std::uint32_t slot) {
    const auto [found, added] =
        run_of_slot.try_emplace(slot, static_cast<std::uint32_t>(runs_.size()));
    if (added) {
      Run run;
      run.slot = slot;
      runs_.push_back(std::move(run));
    }
    return found->second;
  };
  for (std::uint32_t position = 0; position < checks_.rule_count(); ++position) {
    for (const Check& check : checks_.checks_of(position)) {
      const auto [found, added] =
          ids.try_emplace(key_of(check), static_cast<std::uint32_t>(comparisons_.size()));
      if (added) {
        Comparison comparison;
        comparison.check = &check;
        comparison.left = run_of(check.slot);
        if (check.two_fields) {
          comparison.right = run_of(check.extra);
          runs_[comparison.left].texts = runs_[comparison.right].texts = true;
        } else if (check.kind == ValueKind::String) {
          runs_[comparison.left].texts = true;
        }
        comparisons_.push_back(comparison);
      }
      comparison_of_.push_back(found->second);
    }
  }
  stamp_.assign(comparisons_.size(), 0);
  run_stamp_.assign(runs_.size(), 0);
  bitmaps_.assign(comparisons_.size() * static_cast<std::size_t>(kWords), 0);
  mask_.assign(static_cast<std::size_t>(ChunkColumns::kRows), 0);
}

Result<Unit, ColumnarError> SequenceColumns::fill(Run& run, ChunkColumns& chunk,
                                                  const BatchReader& reader,
                                                  std::span<const std::uint32_t> rows) {
  const std::size_t count = rows.size();
  // Runs grow to the most rows a call has given: a policy's many slots
  // cost memory only as far as their sequences' rows reach.
  if (run.kinds.size() < count) {
    run.kinds.resize(count);
    run.numbers.resize(count);
    if (run.texts) {
      run.text.resize(count);
      run.lengths.resize(count);
    }
  }
  std::string_view* texts = run.texts ? run.text.data() : nullptr;
  std::vector<std::string_view> unused;
  if (texts == nullptr) {
    // A text column compared with no text still has its texts read.
    unused.resize(count);
    texts = unused.data();
  }
  if (!gather_in_buffers(reader, run.slot, chunk.first(), rows, run.kinds.data(),
                         run.numbers.data(), texts)) {
    RowBits needed;
    needed.clear();
    needed.set(rows);
    auto read = chunk.ensure(reader, run.slot, needed);
    if (!read) return read;
    const ValueView* views = chunk.column(run.slot);
    for (std::size_t i = 0; i < count; ++i) {
      const ValueView& view = views[rows[i]];
      run.kinds[i] = view.kind;
      run.numbers[i] = view.kind == ValueKind::Boolean ? (view.boolean ? 1.0 : 0.0) : view.number;
      texts[i] = view.text;
    }
  }
  if (run.texts) {
    // No text has this length: other kinds never equal a text.
    constexpr std::uint64_t kNoText = ~std::uint64_t{0};
    for (std::size_t i = 0; i < count; ++i) {
      run.lengths[i] = run.kinds[i] == ValueKind::String ? run.text[i].size() : kNoText;
    }
  }
  return Unit{};
}

void SequenceColumns::evaluate(const Comparison& comparison, std::size_t count,
                               std::uint64_t* out) {
  const Check& check = *comparison.check;
  const Run& left = runs_[comparison.left];
  const ValueKind* kinds = left.kinds.data();
  const double* numbers = left.numbers.data();
  if (check.two_fields) {
    // As compare_values: kinds must match; booleans and texts are equal or
    // not, numbers ordered or unordered.
    const Run& right = runs_[comparison.right];
    const auto accepts_for = [&](ValueKind kind) -> unsigned {
      return documents::applies_to(check.op, evaluation::type_of(kind))
                 ? documents::word(check.op).accepts
                 : 0U;
    };
    const unsigned on_number = accepts_for(ValueKind::Number);
    const unsigned on_boolean = accepts_for(ValueKind::Boolean);
    const unsigned on_text = accepts_for(ValueKind::String);
    pack(count, out, [&](std::size_t i) {
      const ValueKind kind = kinds[i];
      if (kind != right.kinds[i]) return false;
      switch (kind) {
        case ValueKind::Number:
          return (number_outcome(numbers[i], right.numbers[i]) & on_number) != 0;
        case ValueKind::Boolean:
          return ((numbers[i] == right.numbers[i] ? documents::kOutcomeEqual
                                                  : documents::kOutcomeLess) &
                  on_boolean) != 0;
        case ValueKind::String: {
          const bool equal =
              left.lengths[i] == right.lengths[i] && text_equal(left.text[i], right.text[i]);
          return ((equal ? documents::kOutcomeEqual : documents::kOutcomeLess) & on_text) != 0;
        }
        case ValueKind::Absent:
          return false;
      }
      return false;
    });
    return;
  }
  const unsigned accepts = check.accepts;
  const ValueKind kind = check.kind;
  std::uint8_t* const mask = mask_.data();
  switch (accepts == 0 ? ValueKind::Absent : kind) {
    case ValueKind::Number:
    case ValueKind::Boolean: {
      // Branch-free, a byte a row, so that the loop runs on vectors.
      const double literal = check.number;
      const std::uint8_t on_less = (accepts & documents::kOutcomeLess) != 0;
      const std::uint8_t on_equal = (accepts & documents::kOutcomeEqual) != 0;
      const std::uint8_t on_greater = (accepts & documents::kOutcomeGreater) != 0;
      const std::uint8_t on_unordered = (accepts & documents::kOutcomeUnordered) != 0;
      for (std::size_t i = 0; i < count; ++i) {
        const double value = numbers[i];
        const std::uint8_t less = value < literal;
        const std::uint8_t equal = value == literal;
        const std::uint8_t greater = value > literal;
        const std::uint8_t unordered = (less | equal | greater) ^ 1;
        mask[i] = static_cast<std::uint8_t>((kinds[i] == kind) &
                                            ((less & on_less) | (equal & on_equal) |
                                             (greater & on_greater) | (unordered & on_unordered)));
      }
      break;
    }
    case ValueKind::String: {
      // Lengths pick the rows that may equal the literal; their texts confirm.
      const std::string_view literal(check.text, check.extra);
      const std::uint64_t length = literal.size();
      const std::uint8_t if_equal = (accepts & documents::kOutcomeEqual) != 0;
      const std::uint8_t if_differs = (accepts & documents::kOutcomeLess) != 0;
      const std::uint64_t* lengths = left.lengths.data();
      const std::string_view* texts = left.text.data();
      for (std::size_t i = 0; i < count; ++i) mask[i] = lengths[i] == length;
      for (std::size_t i = 0; i < count; ++i) {
        const bool text = kinds[i] == ValueKind::String;
        const bool equal = mask[i] != 0 && text_equal(texts[i], literal);
        mask[i] = static_cast<std::uint8_t>(text & (equal ? if_equal : if_differs));
      }
      break;
    }
    case ValueKind::Absent:
      std::fill(mask, mask + count, std::uint8_t{0});
      break;
  }
  pack_bytes(mask, count, out);
}

const std::uint64_t* SequenceColumns::bits(std::uint32_t id, std::size_t count) {
  std::uint64_t* out = bitmaps_.data() + std::size_t{id} * static_cast<std::size_t>(kWords);
  if (stamp_[id] == call_) return out;
  stamp_[id] = call_;
  const Comparison& comparison = comparisons_[id];
  const std::uint32_t sides = comparison.check->two_fields ? 2 : 1;
  for (std::uint32_t side = 0; side < sides; ++side) {
    const std::uint32_t run = side == 0 ? comparison.left : comparison.right;
    if (run_stamp_[run] == call_) continue;
    run_stamp_[run] = call_;
    if (!failed_) {
      auto filled = fill(runs_[run], *chunk_, *reader_, rows_);
      if (!filled) {
        failed_ = true;
        error_ = std::move(filled).error();
      }
    }
  }
  evaluate(comparison, count, out);
  return out;
}

Result<Unit, ColumnarError> SequenceColumns::decide(ChunkColumns& chunk, const BatchReader& reader,
                                                    std::span<const std::uint32_t> rows,
                                                    const compiler::CompiledRule** decided,
                                                    std::vector<std::uint32_t>& left) {
  if (++call_ == 0) {
    // The stamps wrapped: none may pass for this call's.
    std::fill(stamp_.begin(), stamp_.end(), 0);
    std::fill(run_stamp_.begin(), run_stamp_.end(), 0);
    call_ = 1;
  }
  rows_ = rows;
  chunk_ = &chunk;
  reader_ = &reader;
  failed_ = false;
  const std::size_t count = rows.size();
  const std::size_t words = (count + 63) / 64;
  // The rows still undecided, by dense position.
  std::uint64_t live[kWords] = {};
  for (std::size_t w = 0; w < words; ++w) {
    live[w] = w + 1 < words || count % 64 == 0 ? ~std::uint64_t{0}
                                               : (std::uint64_t{1} << (count % 64)) - 1;
  }
  std::size_t undecided = count;
  std::uint64_t holds[kWords];
  const auto settle = [&](const compiler::CompiledRule* rule) {
    for (std::size_t w = 0; w < words; ++w) {
      for (std::uint64_t hit = holds[w]; hit != 0; hit &= hit - 1) {
        decided[rows[w * 64 + static_cast<std::size_t>(std::countr_zero(hit))]] = rule;
      }
      undecided -= static_cast<std::size_t>(std::popcount(holds[w]));
      live[w] &= ~holds[w];
    }
  };
  for (std::uint32_t position = 0; position < checks_.rule_count() && undecided != 0; ++position) {
    const evaluation::detail::RulePlan& plan = checks_.plan(position);
    const compiler::CompiledRule* rule = &rules_[position];
    const std::uint32_t* ids = comparison_of_.data() + plan.first;
    bool any_left = true;
    if (plan.any) {
      // An `any` of none holds nowhere.
      std::fill(holds, holds + words, std::uint64_t{0});
      for (std::uint32_t i = 0; i < plan.count; ++i) {
        const std::uint64_t* member = bits(ids[i], count);
        for (std::size_t w = 0; w < words; ++w) holds[w] |= member[w] & live[w];
      }
    } else {
      // An `all` of none holds on every row.
      std::copy(live, live + words, holds);
      for (std::uint32_t i = 0; i < plan.count && any_left; ++i) {
        const std::uint64_t* member = bits(ids[i], count);
        std::uint64_t seen = 0;
        for (std::size_t w = 0; w < words; ++w) seen |= holds[w] &= member[w];
        any_left = seen != 0;
      }
    }
    if (any_left) settle(rule);
  }
  if (failed_) return fail(std::move(error_));
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t rest = live[w]; rest != 0; rest &= rest - 1) {
      left.push_back(rows[w * 64 + static_cast<std::size_t>(std::countr_zero(rest))]);
    }
  }
  return Unit{};
}

}  // namespace kavro::columnar::detail
