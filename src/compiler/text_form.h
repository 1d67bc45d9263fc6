// The one-line text form of the compiled model, which the policy hash digests;
// its quoting also serves governance messages. Map entries are written in ascending byte
// order of their keys, so equal policies render equally in every process.
//
// Version 2 adds names only where its forms appear, so a policy that uses
// none of them renders (and hashes) as under version 1:
//   a condition that is no flat list of comparisons of two values:
//     Tree(ConditionTree { root: <node>, comparisons: [<comparison>, ...] })
//     <node> is Comparison(<index>), All([<node>, ...]), Any([<node>, ...]) or Not(<node>)
//     <comparison> is Comparison { lhs: SubjectRef {...}, operator: <Variant>, rhs: <rhs> }
//     <rhs> is Literal(...), Subject(...), List([<literal>, ...]) in document order, or None
//   a default other than allow, after the global rules: `, default_effect: Block`.
// Descriptions and tags are never written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiled_policy.h"
#include "compiler/text_sink.h"

namespace kavro::compiler {

// Appends `text` between double quotes, escaping quotes, backslashes, control,
// format, separator and grapheme-extending characters.
void append_quoted_text(TextSink& out, std::string_view text);
void append_quoted_text(std::string& out, std::string_view text);

// Appends a number: shortest round-trip digits, positional between 1e-4 and
// 1e16, scientific outside; NaN, inf, -inf.
void append_number(TextSink& out, double value);
void append_number(std::string& out, double value);

std::string policy_hash_text(const CompiledPolicy& policy);
// The same text, written to `out` piece by piece (not flushed).
void render_policy_hash_text(const CompiledPolicy& policy, TextSink& out);

}  // namespace kavro::compiler
