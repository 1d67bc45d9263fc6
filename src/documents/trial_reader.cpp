#include "documents/trial_reader.h"

namespace kavro::documents::detail {

Result<std::string, TrialFailure> TreeTextReader::read(const TreeNode& node) const {
  if (const auto* text = std::get_if<std::string_view>(&node.value)) return std::string(*text);
  return fail(TrialFailure(invalid_type(describe_found(node), "a string")));
}

Result<double, TrialFailure> TreeFloatReader::read(const TreeNode& node) const {
  if (const auto* number = std::get_if<double>(&node.value)) return *number;
  if (const auto* number = std::get_if<std::uint64_t>(&node.value)) {
    return static_cast<double>(*number);
  }
  if (const auto* number = std::get_if<std::int64_t>(&node.value)) {
    return static_cast<double>(*number);
  }
  return fail(TrialFailure(invalid_type(describe_found(node), "f64")));
}

Result<std::uint64_t, TrialFailure> TreeCountReader::read(const TreeNode& node) const {
  if (const auto* count = std::get_if<std::uint64_t>(&node.value)) return *count;
  if (const auto* negative = std::get_if<std::int64_t>(&node.value)) {
    return fail(TrialFailure(invalid_integer_value(std::to_string(*negative), "usize")));
  }
  return fail(TrialFailure(invalid_type(describe_found(node), "usize")));
}

Result<bool, TrialFailure> TreeBooleanReader::read(const TreeNode& node) const {
  if (const auto* boolean = std::get_if<bool>(&node.value)) return *boolean;
  return fail(TrialFailure(invalid_type(describe_found(node), "a boolean")));
}

}  // namespace kavro::documents::detail
