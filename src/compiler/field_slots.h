// FieldSlots: the input fields that a compiled policy can ever read, each
// given a dense index when the policy is compiled. Evaluation then reads an
// array by index instead of hashing field names on every request.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "compiler/enums.h"
#include "support/string_map.h"

namespace kavro {

inline constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

// The action map's "type" entry selects the action bucket; it always has slot 0.
inline constexpr std::uint32_t kActionTypeSlot = 0;
inline constexpr std::string_view kActionTypeField = "type";

class FieldSlots {
 public:
  FieldSlots() { clear(); }

  void clear();
  // Returns the slot of (domain, field), creating it on first use.
  std::uint32_t intern(Domain domain, std::string_view field);
  // kNoSlot when the policy never reads the field.
  std::uint32_t find(Domain domain, std::string_view field) const {
    const auto& fields = by_domain_[static_cast<int>(domain)];
    auto it = fields.find(field);
    return it == fields.end() ? kNoSlot : it->second;
  }
  std::uint32_t size() const { return size_; }

 private:
  std::array<StringMap<std::uint32_t>, kDomainCount> by_domain_;
  std::uint32_t size_ = 0;
};

}  // namespace kavro
