// Plan: a compiled policy made ready for evaluation. Building one numbers
// every subject's input slot, collects the slots (FieldSlots) and lays out the
// equality index (RuleIndex); nothing changes afterwards, so any number of
// threads may evaluate at once. The parts live in one heap block that the plan
// owns alone: moving a plan keeps every pointer into it valid, and a plan
// cannot be copied, so no caller holds a model without its index.
#pragma once

#include <memory>

#include "compiler/compiled_policy.h"
#include "evaluation/field_slots.h"
#include "evaluation/rule_index.h"

namespace kavro {

class Plan {
 public:
  // Cannot fail (beyond memory): every compiled policy can be planned.
  static Plan build(CompiledPolicy model);

  Plan(Plan&&) noexcept = default;
  Plan& operator=(Plan&&) noexcept = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  ~Plan() = default;

  const CompiledPolicy& model() const { return parts_->model; }
  const FieldSlots& field_slots() const { return parts_->field_slots; }
  const RuleIndex& rule_index() const { return parts_->rule_index; }

 private:
  struct Parts {
    CompiledPolicy model;
    FieldSlots field_slots;
    RuleIndex rule_index;
  };

  explicit Plan(std::unique_ptr<const Parts> parts) : parts_(std::move(parts)) {}

  std::unique_ptr<const Parts> parts_;
};

}  // namespace kavro
