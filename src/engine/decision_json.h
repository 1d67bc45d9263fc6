// The JSON written about decisions: a decision as the decision service answers
// it, and the frame of a decision log line (time, id and policy hash before the
// request's parts, which the caller writes; the decision after them). Plain
// functions over a string, plus the two small states a log keeps: its clock
// and its ids. Neither state is thread-safe: a log uses them under its lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/values.h"

namespace kavro::engine {

// {"effect":…,"matched_rule":…,"policy_hash":…, then ,"decision_id":… when
// there is one, and }.
void append_decision(std::string& out, Effect effect, std::optional<std::string_view> rule,
                     std::string_view policy_hash, std::optional<std::string_view> decision_id);

// {"time":…,"decision_id":…,"policy_hash":… : the caller then writes each
// part of the request as ,"part":{…} and ends the line with close_decision_line.
void open_decision_line(std::string& out, std::string_view time, std::string_view decision_id,
                        std::string_view policy_hash);
// ,"effect":…,"matched_rule":…, the masked fields (when any) and }.
// The effect is a text: a decision made elsewhere is logged as it was given.
void close_decision_line(std::string& out, std::string_view effect,
                         std::optional<std::string_view> rule, std::span<const std::string> masked);

// The current time as ISO 8601 in UTC to the microsecond
// ("2026-12-08T15:40:00.123456Z"); the part to the second is formatted once
// a second.
class LineClock {
 public:
  std::string_view now();

 private:
  std::int64_t second_ = -1;
  char text_[32] = {};
};

// Ids unique within a log: its prefix (random, chosen by the caller) and a
// serial number, as at least 8 hexadecimal digits.
class DecisionIds {
 public:
  explicit DecisionIds(std::string prefix) : prefix_(std::move(prefix)) {}
  std::string next();

 private:
  std::string prefix_;
  std::uint64_t serial_ = 0;
};

}  // namespace kavro::engine
