#include "columnar/sequence_columns.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

#include "columnar/column_compare.h"
#include "evaluation/evaluator.h"
#include "support/overloaded.h"
#include "support/text_equal.h"

namespace kavro::columnar::detail {

namespace {

using evaluation::ValueKind;
using evaluation::ValueView;
using evaluation::detail::Check;

// The operators whose meaning is a set of comparison outcomes, which the
// checks carry: those this way decides.
bool decided_by_outcomes(documents::Operator op) {
  switch (op) {
    case documents::Operator::Equals:
    case documents::Operator::NotEquals:
    case documents::Operator::GreaterThan:
    case documents::Operator::LessThan:
    case documents::Operator::In:
    case documents::Operator::NotIn:
      return true;
  }
  return false;
}

// Whether the rule's condition is one this way decides: one comparison, or a
// flat list of them that needs all or any.
bool handled(const compiler::CompiledRule& rule) {
  const bool flat = std::visit(Overloaded{[](const compiler::AtomicCondition&) { return true; },
                                          [](const compiler::AllOf&) { return true; },
                                          [](const compiler::AnyOf&) { return true; }},
                               rule.condition);
  const auto comparisons = evaluation::detail::comparisons_of(rule);
  return flat && std::all_of(comparisons.begin(), comparisons.end(),
                             [](const compiler::AtomicCondition& atomic) {
                               return decided_by_outcomes(atomic.op);
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

// The rows of `rows` for which holds(row) is true, written from `out` on;
// returns how many.
template <class Holds>
std::uint32_t collect(std::span<const std::uint32_t> rows, std::uint32_t* out, Holds holds) {
  std::uint32_t count = 0;
  for (const std::uint32_t row : rows) {
    out[count] = row;
    count += holds(row) ? 1 : 0;
  }
  return count;
}

std::uint32_t collect_check(const Check& check, const ChunkColumns& chunk,
                            std::span<const std::uint32_t> rows, std::uint32_t* out) {
  const ValueView* left = chunk.column(check.slot);
  if (check.two_fields) {
    const ValueView* right = chunk.column(check.extra);
    const documents::Operator op = check.op;
    return collect(rows, out, [&](std::uint32_t row) {
      return left[row].present() && evaluation::compare_values(op, left[row], right[row]);
    });
  }
  const unsigned accepts = check.accepts;
  if (accepts == 0) return 0;
  switch (check.kind) {
    case ValueKind::Number: {
      const double literal = check.number;
      return collect(rows, out, [&](std::uint32_t row) {
        const ValueView& value = left[row];
        return value.kind == ValueKind::Number &&
               (number_outcome(value.number, literal) & accepts) != 0;
      });
    }
    case ValueKind::Boolean: {
      const double literal = check.number;
      return collect(rows, out, [&](std::uint32_t row) {
        const ValueView& value = left[row];
        return value.kind == ValueKind::Boolean &&
               (number_outcome(value.boolean ? 1.0 : 0.0, literal) & accepts) != 0;
      });
    }
    case ValueKind::String: {
      const std::string_view literal(check.text, check.extra);
      const unsigned if_equal = accepts & documents::kOutcomeEqual;
      const unsigned if_differs = accepts & documents::kOutcomeLess;
      return collect(rows, out, [&](std::uint32_t row) {
        const ValueView& value = left[row];
        if (value.kind != ValueKind::String) return false;
        const bool equal = value.text.size() == literal.size() && text_equal(value.text, literal);
        return (equal ? if_equal : if_differs) != 0;
      });
    }
    case ValueKind::Absent:
      break;
  }
  // No literal is absent; kept exact all the same.
  return collect(rows, out, [&](std::uint32_t row) {
    return evaluation::check_holds(check, chunk.row(row));
  });
}

// Adds the slots a check reads to `slots`, each once.
void add_slots(const Check& check, std::vector<std::uint32_t>& slots) {
  const auto add = [&](std::uint32_t slot) {
    if (std::find(slots.begin(), slots.end(), slot) == slots.end()) slots.push_back(slot);
  };
  add(check.slot);
  if (check.two_fields) add(check.extra);
}

}  // namespace

SequenceColumns::SequenceColumns(std::span<const compiler::CompiledRule> rules)
    : rules_(rules), checks_(evaluation::detail::RuleChecks::build(rules, true)) {
  handles_ = std::all_of(rules.begin(), rules.end(), handled);
  std::unordered_map<std::string, std::uint32_t> ids;
  std::vector<bool> narrows;
  for (std::uint32_t position = 0; position < checks_.rule_count(); ++position) {
    const evaluation::detail::RulePlan& plan = checks_.plan(position);
    std::uint32_t member = 0;
    for (const Check& check : checks_.checks_of(position)) {
      const auto [found, added] =
          ids.try_emplace(key_of(check), static_cast<std::uint32_t>(comparisons_.size()));
      if (added) {
        comparisons_.push_back(&check);
        narrows.push_back(false);
      }
      comparison_of_.push_back(found->second);
      const bool leads = plan.any || member == 0;
      if (!plan.any && member == 0 && plan.count > 1) narrows[found->second] = true;
      add_slots(check, !leads ? other_slots_ : check.two_fields ? pair_slots_ : lead_slots_);
      ++member;
    }
  }
  for (std::uint32_t id = 0; id < narrows.size(); ++id) {
    if (narrows[id]) narrowing_.push_back(id);
  }
  stamp_.assign(comparisons_.size(), 0);
  hits_first_.assign(comparisons_.size(), 0);
  hits_count_.assign(comparisons_.size(), 0);
}

std::span<const std::uint32_t> SequenceColumns::hits(const ChunkColumns& chunk,
                                                     const BatchReader& reader,
                                                     std::span<const std::uint32_t> rows,
                                                     std::uint32_t id) {
  if (stamp_[id] != call_) {
    stamp_[id] = call_;
    const std::size_t first = hits_.size();
    hits_.resize(first + rows.size());
    const Check& check = *comparisons_[id];
    const std::optional<std::uint32_t> direct =
        compare_in_buffers(reader, check, chunk.first(), rows, hits_.data() + first);
    const std::uint32_t count =
        direct ? *direct : collect_check(check, chunk, rows, hits_.data() + first);
    hits_.resize(first + count);
    hits_first_[id] = static_cast<std::uint32_t>(first);
    hits_count_[id] = count;
  }
  return {hits_.data() + hits_first_[id], hits_count_[id]};
}

Result<Unit, ColumnarError> SequenceColumns::decide(ChunkColumns& chunk,
                                                    const BatchReader& reader,
                                                    std::span<const std::uint32_t> rows,
                                                    const compiler::CompiledRule** decided,
                                                    std::vector<std::uint32_t>& left) {
  if (++call_ == 0) {
    // The stamps wrapped: none may pass for this call's.
    std::fill(stamp_.begin(), stamp_.end(), 0);
    call_ = 1;
  }
  hits_.clear();
  RowBits needed;
  needed.clear();
  needed.set(rows);
  // Comparisons with a literal read the buffers themselves where they can.
  for (const std::uint32_t slot : lead_slots_) {
    if (readable_in_buffers(reader, slot)) continue;
    auto read = chunk.ensure(reader, slot, needed);
    if (!read) return read;
  }
  for (const std::uint32_t slot : pair_slots_) {
    auto read = chunk.ensure(reader, slot, needed);
    if (!read) return read;
  }
  if (!other_slots_.empty()) {
    // The rows an `all` rule's rarest comparison lets through are the only
    // ones its other comparisons are asked of.
    needed.clear();
    for (const std::uint32_t id : narrowing_) needed.set(hits(chunk, reader, rows, id));
    for (const std::uint32_t slot : other_slots_) {
      auto read = chunk.ensure(reader, slot, needed);
      if (!read) return read;
    }
  }
  live_.resize(static_cast<std::size_t>(ChunkColumns::kRows));
  for (const std::uint32_t row : rows) live_[row] = 1;
  std::size_t undecided = rows.size();
  const Check* const checks = checks_.checks();
  for (std::uint32_t position = 0; position < checks_.rule_count() && undecided != 0;
       ++position) {
    const evaluation::detail::RulePlan& plan = checks_.plan(position);
    const compiler::CompiledRule* rule = &rules_[position];
    if (plan.count == 0) {
      // No comparison: an `all` of none holds on every row, an `any` on none.
      if (plan.any) continue;
      for (const std::uint32_t row : rows) {
        if (live_[row] != 0) decided[row] = rule;
        live_[row] = 0;
      }
      undecided = 0;
      continue;
    }
    if (plan.any) {
      for (std::uint32_t i = plan.first; i < plan.first + plan.count; ++i) {
        for (const std::uint32_t row : hits(chunk, reader, rows, comparison_of_[i])) {
          if (live_[row] == 0) continue;
          live_[row] = 0;
          decided[row] = rule;
          --undecided;
        }
      }
      continue;
    }
    const Check* const others = checks + plan.first + 1;
    const Check* const end = checks + plan.first + plan.count;
    for (const std::uint32_t row : hits(chunk, reader, rows, comparison_of_[plan.first])) {
      if (live_[row] == 0) continue;
      const ChunkRow input = chunk.row(row);
      if (!std::all_of(others, end,
                       [&](const Check& check) { return evaluation::check_holds(check, input); }))
        continue;
      live_[row] = 0;
      decided[row] = rule;
      --undecided;
    }
  }
  for (const std::uint32_t row : rows) {
    if (live_[row] != 0) left.push_back(row);
    live_[row] = 0;
  }
  return Unit{};
}

}  // namespace kavro::columnar::detail
