#include "documents/read_messages.h"

namespace kavro {
namespace {

std::string ticked(std::string_view text) {
  std::string out = "`";
  out += text;
  out += '`';
  return out;
}

}  // namespace

std::string invalid_type(std::string_view found, std::string_view expected) {
  std::string out = "invalid type: ";
  out += found;
  out += ", expected ";
  out += expected;
  return out;
}

std::string invalid_integer_value(std::string_view integer, std::string_view expected) {
  return "invalid value: integer " + ticked(integer) + ", expected " + std::string(expected);
}

std::string unknown_variant(std::string_view text, std::span<const std::string_view> spellings) {
  std::string out = "unknown variant " + ticked(text) + ", expected one of ";
  for (std::size_t i = 0; i < spellings.size(); ++i) {
    if (i > 0) out += ", ";
    out += ticked(spellings[i]);
  }
  return out;
}

std::string missing_field(std::string_view key) {
  return "missing field " + ticked(key);
}

std::string duplicate_field(std::string_view key) {
  return "duplicate field " + ticked(key);
}

std::string invalid_length(std::size_t length, std::string_view record, std::size_t fields) {
  return "invalid length " + std::to_string(length) + ", expected struct " + std::string(record) +
         " with " + std::to_string(fields) + " elements";
}

std::string no_matching_variant(std::string_view choice) {
  return "data did not match any variant of untagged enum " + std::string(choice);
}

}  // namespace kavro
