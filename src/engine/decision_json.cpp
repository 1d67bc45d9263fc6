#include "engine/decision_json.h"

#include <ctime>

#include "support/json_text.h"

namespace kavro::engine {

namespace {

void append_effect_and_rule(std::string& out, std::string_view effect,
                            std::optional<std::string_view> rule) {
  out += "\"effect\":";
  append_json_text(out, effect);
  out += ",\"matched_rule\":";
  if (rule) {
    append_json_text(out, *rule);
  } else {
    out += "null";
  }
}

}  // namespace

void append_decision(std::string& out, Effect effect, std::optional<std::string_view> rule,
                     std::string_view policy_hash, std::optional<std::string_view> decision_id) {
  out += '{';
  append_effect_and_rule(out, spelling(effect), rule);
  out += ",\"policy_hash\":";
  append_json_text(out, policy_hash);
  if (decision_id) {
    out += ",\"decision_id\":";
    append_json_text(out, *decision_id);
  }
  out += '}';
}

void open_decision_line(std::string& out, std::string_view time, std::string_view decision_id,
                        std::string_view policy_hash) {
  out += "{\"time\":";
  append_json_text(out, time);
  out += ",\"decision_id\":";
  append_json_text(out, decision_id);
  out += ",\"policy_hash\":";
  append_json_text(out, policy_hash);
}

void close_decision_line(std::string& out, std::string_view effect,
                         std::optional<std::string_view> rule,
                         std::span<const std::string> masked) {
  out += ',';
  append_effect_and_rule(out, effect, rule);
  if (!masked.empty()) {
    out += ",\"masked\":[";
    for (std::size_t i = 0; i < masked.size(); ++i) {
      if (i > 0) out += ',';
      append_json_text(out, masked[i]);
    }
    out += ']';
  }
  out += '}';
}

std::string_view LineClock::now() {
  timespec moment{};
  clock_gettime(CLOCK_REALTIME, &moment);
  const std::int64_t second = moment.tv_sec;
  if (second != second_) {
    const std::time_t as_time = static_cast<std::time_t>(second);
    std::tm parts{};
    gmtime_r(&as_time, &parts);
    std::strftime(text_, sizeof text_, "%Y-%m-%dT%H:%M:%S", &parts);
    second_ = second;
  }
  // The second's text is 19 characters; the microseconds and Z follow it.
  long micros = moment.tv_nsec / 1000;
  text_[19] = '.';
  for (int place = 25; place > 19; --place, micros /= 10) {
    text_[place] = static_cast<char>('0' + micros % 10);
  }
  text_[26] = 'Z';
  return {text_, 27};
}

std::string DecisionIds::next() {
  constexpr char kHex[] = "0123456789abcdef";
  char digits[16];
  std::size_t length = 0;
  for (std::uint64_t serial = serial_++; serial != 0 || length < 8; serial >>= 4) {
    digits[length++] = kHex[serial & 0xF];
  }
  std::string id;
  id.reserve(prefix_.size() + length);
  id += prefix_;
  while (length > 0) id += digits[--length];
  return id;
}

}  // namespace kavro::engine
