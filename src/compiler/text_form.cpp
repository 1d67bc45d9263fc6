#include "compiler/text_form.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "compiler/unicode_escapes.h"
#include "support/overloaded.h"

namespace kavro::compiler {
namespace {

// Stands for one byte that starts no valid UTF-8 sequence.
constexpr char32_t kMalformed = 0x110000;

// Decodes one UTF-8 sequence at text[i], returning the code point and
// advancing i. Documents and Python always hand us valid UTF-8, but a
// malformed byte must still render: it is consumed alone as kMalformed.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  int length = 0;
  char32_t code_point = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code_point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code_point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code_point = lead & 0x07;
  } else {
    ++i;
    return kMalformed;
  }
  if (i + length > text.size()) {
    ++i;
    return kMalformed;
  }
  for (int k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return kMalformed;
    }
    code_point = (code_point << 6) | (byte(i + k) & 0x3F);
  }
  i += length;
  return code_point;
}

void append_code_point_escape(TextSink& out, char32_t code_point) {
  char digits[8];
  auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(code_point), 16);
  (void)ec;
  out += "\\u{";
  out += std::string_view(digits, static_cast<std::size_t>(end - digits));
  out += '}';
}

// Reshapes std::to_chars' shortest scientific form ("d.ddde+xx") into the
// positional or scientific spelling of the text form, on the stack.
void append_finite_nonzero(TextSink& out, double magnitude) {
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  (void)ec;
  char digits[32];
  std::size_t digit_count = 0;
  const char* p = buffer;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[digit_count++] = *p;
  }
  int exponent = 0;
  bool negative_exponent = false;
  for (++p; p < end; ++p) {
    if (*p == '-') {
      negative_exponent = true;
    } else if (*p != '+') {
      exponent = exponent * 10 + (*p - '0');
    }
  }
  if (negative_exponent) exponent = -exponent;
  const std::string_view all(digits, digit_count);

  if (magnitude >= 1e-4 && magnitude < 1e16) {
    if (exponent >= 0) {
      const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
      if (digit_count <= integer_digits) {
        out += all;
        out.append(integer_digits - digit_count, '0');
        out += ".0";
      } else {
        out += all.substr(0, integer_digits);
        out += '.';
        out += all.substr(integer_digits);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += all;
    }
    return;
  }
  out += digits[0];
  if (digit_count > 1) {
    out += '.';
    out += all.substr(1);
  }
  out += 'e';
  // The exponent keeps to_chars' sign but not its leading zeros.
  char exponent_text[8];
  auto [exponent_end, exponent_ec] =
      std::to_chars(exponent_text, exponent_text + sizeof exponent_text, exponent);
  (void)exponent_ec;
  out += std::string_view(exponent_text, static_cast<std::size_t>(exponent_end - exponent_text));
}

void append_enum(TextSink& out, std::string_view name) {
  out += name;
}

void append_subject(TextSink& out, const SubjectRef& subject) {
  out += "SubjectRef { domain: ";
  append_enum(out, variant_name(subject.domain));
  out += ", field: ";
  append_quoted_text(out, subject.field);
  out += " }";
}

void append_runtime_value(TextSink& out, const RuntimeValue& value) {
  std::visit(Overloaded{[&](const std::string& text) {
                          out += "String(";
                          append_quoted_text(out, text);
                        },
                        [&](double number) {
                          out += "Number(";
                          append_number(out, number);
                        },
                        [&](bool boolean) {
                          out += "Boolean(";
                          out += boolean ? "true" : "false";
                        }},
             value);
  out += ')';
}

void append_atomic(TextSink& out, const AtomicCondition& atomic) {
  out += "AtomicCondition { lhs: ";
  append_subject(out, atomic.lhs);
  out += ", operator: ";
  append_enum(out, variant_name(atomic.op));
  out += ", rhs: ";
  std::visit(Overloaded{[&](const RuntimeValue& literal) {
                          out += "Literal(";
                          append_runtime_value(out, literal);
                        },
                        [&](const SubjectRef& subject) {
                          out += "Subject(";
                          append_subject(out, subject);
                        }},
             atomic.rhs);
  out += ") }";
}

void append_atomic_list(TextSink& out, const std::vector<AtomicCondition>& members) {
  out += '[';
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i) out += ", ";
    append_atomic(out, members[i]);
  }
  out += ']';
}

void append_comparison(TextSink& out, const Comparison& comparison) {
  out += "Comparison { lhs: ";
  append_subject(out, comparison.lhs);
  out += ", operator: ";
  append_enum(out, variant_name(comparison.op));
  out += ", rhs: ";
  std::visit(Overloaded{[&](const RuntimeValue& literal) {
                          out += "Literal(";
                          append_runtime_value(out, literal);
                          out += ')';
                        },
                        [&](const SubjectRef& subject) {
                          out += "Subject(";
                          append_subject(out, subject);
                          out += ')';
                        },
                        [&](const MemberList& list) {
                          out += "List([";
                          for (std::size_t i = 0; i < list.members.size(); ++i) {
                            if (i) out += ", ";
                            append_runtime_value(out, list.members[i]);
                          }
                          out += "])";
                        },
                        [&](const NoOperand&) { out += "None"; }},
             comparison.rhs);
  out += " }";
}

void append_node(TextSink& out, const ConditionNode& node) {
  const auto members = [&](std::string_view name) {
    out += name;
    out += "([";
    for (std::size_t i = 0; i < node.members.size(); ++i) {
      if (i) out += ", ";
      append_node(out, node.members[i]);
    }
    out += "])";
  };
  switch (node.kind) {
    case documents::NodeKind::Comparison: {
      char digits[16];
      auto [end, ec] = std::to_chars(digits, digits + sizeof digits, node.comparison);
      (void)ec;
      out += "Comparison(";
      out += std::string_view(digits, static_cast<std::size_t>(end - digits));
      out += ')';
      return;
    }
    case documents::NodeKind::All:
      members("All");
      return;
    case documents::NodeKind::Any:
      members("Any");
      return;
    case documents::NodeKind::Not:
      out += "Not(";
      append_node(out, node.members.front());
      out += ')';
      return;
  }
}

void append_tree(TextSink& out, const ConditionTree& tree) {
  out += "ConditionTree { root: ";
  append_node(out, tree.root);
  out += ", comparisons: [";
  for (std::size_t i = 0; i < tree.comparisons.size(); ++i) {
    if (i) out += ", ";
    append_comparison(out, tree.comparisons[i]);
  }
  out += "] }";
}

void append_condition(TextSink& out, const CompiledCondition& condition) {
  std::visit(Overloaded{[&](const AtomicCondition& atomic) {
                          out += "Atomic(";
                          append_atomic(out, atomic);
                        },
                        [&](const AllOf& all) {
                          out += "All(";
                          append_atomic_list(out, all.members);
                        },
                        [&](const AnyOf& any) {
                          out += "Any(";
                          append_atomic_list(out, any.members);
                        },
                        [&](const ConditionTree& tree) {
                          out += "Tree(";
                          append_tree(out, tree);
                        }},
             condition);
  out += ')';
}

// Asks for the out-of-line parts of a rule (long texts, member lists) ahead
// of rendering it: once a policy outgrows the cache these are the misses.
void prefetch_rule(const CompiledRule& rule) {
  __builtin_prefetch(rule.rule_id.data());
  const std::vector<AtomicCondition>* members = nullptr;
  if (const auto* all = std::get_if<AllOf>(&rule.condition)) {
    members = &all->members;
  } else if (const auto* any = std::get_if<AnyOf>(&rule.condition)) {
    members = &any->members;
  }
  if (members != nullptr && !members->empty()) {
    __builtin_prefetch(members->data());
    __builtin_prefetch(members->front().lhs.field.data());
  } else if (const auto* atomic = std::get_if<AtomicCondition>(&rule.condition)) {
    __builtin_prefetch(atomic->lhs.field.data());
  }
}

void append_rules(TextSink& out, const RuleSequence& rules) {
  constexpr std::size_t kPrefetchAhead = 2;
  out += '[';
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i + kPrefetchAhead < rules.size()) prefetch_rule(rules[i + kPrefetchAhead]);
    if (i) out += ", ";
    out += "CompiledRule { rule_id: ";
    append_quoted_text(out, rules[i].rule_id);
    out += ", condition: ";
    append_condition(out, rules[i].condition);
    out += ", effect: ";
    append_enum(out, variant_name(rules[i].effect));
    out += " }";
  }
  out += ']';
}

// Entries in ascending byte order of their keys: the digest must not depend
// on a hash map's iteration order, or one policy would hash differently in
// every process.
void append_buckets(TextSink& out, const RuleBuckets& buckets) {
  std::vector<const RuleBuckets::value_type*> entries;
  entries.reserve(buckets.size());
  for (const auto& entry : buckets) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  out += '{';
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i) out += ", ";
    append_quoted_text(out, entries[i]->first);
    out += ": ";
    append_rules(out, entries[i]->second);
  }
  out += '}';
}

}  // namespace

void append_quoted_text(TextSink& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of plain printable ASCII are the common case: copy them whole.
    const std::size_t run_start = i;
    while (i < text.size()) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') break;
      ++i;
    }
    out += text.substr(run_start, i - run_start);
    if (i == text.size()) break;

    const std::size_t start = i;
    const char32_t code_point = decode_utf8(text, i);
    switch (code_point) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (code_point == kMalformed) {
          append_code_point_escape(out, 0xFFFD);
        } else if (detail::needs_unicode_escape(code_point)) {
          append_code_point_escape(out, code_point);
        } else {
          out += text.substr(start, i - start);
        }
    }
  }
  out += '"';
}

void append_number(TextSink& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out += '-';
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) {
    out += "inf";
  } else if (magnitude == 0.0) {
    out += "0.0";
  } else {
    append_finite_nonzero(out, magnitude);
  }
}

void render_policy_hash_text(const CompiledPolicy& policy, TextSink& out) {
  out += "CompiledPolicy { action_rules: ";
  append_buckets(out, policy.action_rules);
  out += ", actor_rules: ";
  append_buckets(out, policy.actor_rules);
  out += ", global_rules: ";
  append_rules(out, policy.global_rules);
  // Only a default other than allow is written, so that a policy that
  // decides as one without it hashes as it does.
  if (policy.default_effect != documents::Effect::Allow) {
    out += ", default_effect: ";
    append_enum(out, variant_name(policy.default_effect));
  }
  out += " }";
}

std::string policy_hash_text(const CompiledPolicy& policy) {
  std::string text;
  text.reserve(256);
  TextSink out(text);
  render_policy_hash_text(policy, out);
  return text;
}

void append_quoted_text(std::string& out, std::string_view text) {
  TextSink sink(out);
  append_quoted_text(sink, text);
}

void append_number(std::string& out, double value) {
  TextSink sink(out);
  append_number(sink, value);
}

}  // namespace kavro::compiler
