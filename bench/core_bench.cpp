// The engine's hot paths without Python or the loader: builds the compiled
// model of a workload directly (from the lines of workloads.core_dump), then
// times evaluate_policy per rule examined and policy_hash against SHA-256
// alone. For finding hot spots with perf or callgrind; bench/run reports the
// figures that users see.
//   core_bench <dump file> [seconds]
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/compiled_policy.h"
#include "compiler/policy_hash.h"
#include "compiler/text_form.h"
#include "evaluation/evaluator.h"
#include "flat_plan.h"

namespace {

using Clock = std::chrono::steady_clock;

kavro::Domain domain_of(const std::string& text) {
  return *kavro::from_spelling<kavro::Domain>(text);
}

kavro::RuntimeValue literal_of(std::istream& in) {
  std::string type, value;
  in >> type >> value;
  if (type == "n") return std::stod(value);
  if (type == "b") return value == "1";
  return value;
}

kavro::Effect effect_of(const std::string& text) {
  if (text == "block") return kavro::Effect::Block;
  if (text == "require_approval") return kavro::Effect::RequireApproval;
  return kavro::Effect::Allow;
}

struct Request {
  long examined = 0;
  std::string expected;
  std::vector<std::tuple<kavro::Domain, std::string, kavro::RuntimeValue>> fields;
};

struct Workload {
  kavro::Plan plan;
  std::vector<Request> requests;
};

Workload read_dump(const char* path) {
  kavro::CompiledPolicy policy;
  std::vector<Request> requests;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    if (tag == "rule") {
      std::string scope, name, id, kind, effect;
      std::size_t atoms = 0;
      in >> scope >> name >> id >> kind >> effect >> atoms;
      std::vector<kavro::AtomicCondition> members;
      for (std::size_t i = 0; i < atoms && std::getline(file, line); ++i) {
        std::istringstream atom_in(line);
        std::string atom_tag, domain, field, op, rhs_kind;
        atom_in >> atom_tag >> domain >> field >> op >> rhs_kind;
        kavro::AtomicCondition atomic{
            {domain_of(domain), field}, *kavro::from_spelling<kavro::Operator>(op), {}};
        if (rhs_kind == "lit") {
          atomic.rhs = literal_of(atom_in);
        } else {
          std::string rhs_domain, rhs_field;
          atom_in >> rhs_domain >> rhs_field;
          atomic.rhs = kavro::SubjectRef{domain_of(rhs_domain), rhs_field};
        }
        members.push_back(std::move(atomic));
      }
      kavro::CompiledCondition condition;
      if (kind == "atomic") {
        condition = std::move(members.front());
      } else if (kind == "all") {
        condition = kavro::AllOf{std::move(members)};
      } else {
        condition = kavro::AnyOf{std::move(members)};
      }
      kavro::CompiledRule rule{id, std::move(condition), effect_of(effect)};
      if (scope == "action") {
        policy.action_rules[name].push_back(std::move(rule));
      } else if (scope == "actor") {
        policy.actor_rules[name].push_back(std::move(rule));
      } else {
        policy.global_rules.push_back(std::move(rule));
      }
    } else if (tag == "request") {
      Request request;
      std::size_t fields = 0;
      in >> request.examined >> request.expected >> fields;
      for (std::size_t i = 0; i < fields && std::getline(file, line); ++i) {
        std::istringstream field_in(line);
        std::string field_tag, domain, name;
        field_in >> field_tag >> domain >> name;
        request.fields.emplace_back(domain_of(domain), name, literal_of(field_in));
      }
      requests.push_back(std::move(request));
    }
  }
  return Workload{kavro::Plan::build(std::move(policy)), std::move(requests)};
}

template <class Work>
double best_ns(Work&& work, double seconds) {
  double best = 1e300;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  do {
    const auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  } while (Clock::now() < deadline);
  return best;
}

// One prototype layout for every bucket of the policy.
template <class Plan>
struct Layout {
  kavro::StringMap<Plan> action_rules;
  Plan global_rules;
};

template <class Plan, class Make>
Layout<Plan> lay_out(const kavro::CompiledPolicy& policy, Make make) {
  Layout<Plan> layout;
  for (const auto& [name, rules] : policy.action_rules)
    layout.action_rules.emplace(name, make(rules));
  layout.global_rules = make(policy.global_rules);
  return layout;
}

// The evaluator's bucket order over a prototype layout; `values` is what the
// layout's scan reads (the input itself, or values prepared from it).
template <class Plan, class Values>
const kavro::CompiledRule* evaluate_layout(const Layout<Plan>& layout,
                                           const kavro::EvaluationInput& input,
                                           const Values& values) {
  const kavro::CompiledRule* match = nullptr;
  const kavro::ValueView type = input.at(kavro::kActionTypeSlot);
  if (type.kind == kavro::ValueKind::String) {
    auto bucket = layout.action_rules.find(type.text);
    if (bucket != layout.action_rules.end()) {
      match = kavro::prototype::find_first_match(bucket->second, values);
    }
  }
  return match ? match : kavro::prototype::find_first_match(layout.global_rules, values);
}

struct Prototypes {
  Layout<kavro::prototype::BucketPlan> flat;
  Layout<kavro::prototype::StreamPlan> stream;
  Layout<kavro::prototype::IndexedBucket> indexed;

  explicit Prototypes(const kavro::CompiledPolicy& policy)
      : flat(lay_out<kavro::prototype::BucketPlan>(policy, kavro::prototype::make_plan)),
        stream(lay_out<kavro::prototype::StreamPlan>(policy, kavro::prototype::make_stream)),
        indexed(lay_out<kavro::prototype::IndexedBucket>(policy, kavro::prototype::make_indexed)) {}

  const kavro::CompiledRule* planned(const kavro::EvaluationInput& input) const {
    return evaluate_layout(flat, input, input);
  }
  // Includes filling the slot values, which a binding would do while converting.
  const kavro::CompiledRule* streamed(const kavro::EvaluationInput& input) const {
    kavro::prototype::SlotValue values[64];
    const std::uint32_t count = input.slots().size();
    for (std::uint32_t slot = 0; slot < count; ++slot) {
      values[slot] = kavro::prototype::slot_value(input.at(slot));
    }
    return evaluate_layout(stream, input, static_cast<const kavro::prototype::SlotValue*>(values));
  }
  const kavro::CompiledRule* index(const kavro::EvaluationInput& input) const {
    return evaluate_layout(indexed, input, input);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: core_bench <dump file> [seconds]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::stod(argv[2]) : 1.0;
  Workload workload = read_dump(argv[1]);
  const kavro::Plan& plan = workload.plan;
  const kavro::CompiledPolicy& policy = plan.model();

  std::vector<std::unique_ptr<kavro::EvaluationInput>> inputs;
  long examined = 0;
  for (const auto& request : workload.requests) {
    auto input = std::make_unique<kavro::EvaluationInput>(plan.field_slots());
    for (const auto& [domain, name, value] : request.fields) {
      input->set(domain, name, kavro::view_of(value));
    }
    const auto result = kavro::evaluate_policy(plan, *input);
    const std::string decided(result.matched_rule.value_or("-"));
    if (decided != request.expected) {
      std::fprintf(stderr, "wrong decision: %s, expected %s\n", decided.c_str(),
                   request.expected.c_str());
      return 1;
    }
    examined += request.examined;
    inputs.push_back(std::move(input));
  }
  const Prototypes planned(policy);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto* rule = planned.planned(*inputs[i]);
    const auto* streamed = planned.streamed(*inputs[i]);
    if ((rule ? rule->rule_id : std::string("-")) != workload.requests[i].expected ||
        streamed != rule || planned.index(*inputs[i]) != rule) {
      std::fprintf(stderr, "prototype decided differently on request %zu\n", i);
      return 1;
    }
  }
  std::size_t sink = 0;
  // ns per rule examined of one way to decide every request.
  const auto per_rule_ns = [&](auto decide) {
    const double ns = best_ns(
        [&] {
          for (const auto& input : inputs) sink += decide(*input);
        },
        seconds);
    return ns / static_cast<double>(examined);
  };
  const double evaluate_ns = per_rule_ns([&](const kavro::EvaluationInput& input) {
    return kavro::evaluate_policy(plan, input).effect == kavro::Effect::Block;
  });
  std::printf("evaluate_policy: %.2f ns per rule examined (%zu requests, %ld rules examined)\n",
              evaluate_ns, inputs.size(), examined);
  const std::pair<const char*,
                  const kavro::CompiledRule* (Prototypes::*)(const kavro::EvaluationInput&) const>
      prototypes[] = {{"flat plan", &Prototypes::planned},
                      {"branch-free stream", &Prototypes::streamed},
                      {"equality index", &Prototypes::index}};
  for (const auto& [name, decide] : prototypes) {
    const double ns = per_rule_ns(
        [&](const kavro::EvaluationInput& input) { return (planned.*decide)(input) != nullptr; });
    std::printf("prototype %s: %.2f ns per rule examined\n", name, ns);
  }

  const std::size_t text_bytes = kavro::policy_hash_text(policy).size();
  const double text_ns = best_ns([&] { sink += kavro::policy_hash_text(policy).size(); }, seconds);
  const double hash_ns = best_ns([&] { sink += kavro::policy_hash(policy).size(); }, seconds);
  const std::string bytes(text_bytes, 'x');
  const double sha_ns = best_ns(
      [&] {
        unsigned char digest[EVP_MAX_MD_SIZE];
        EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
        sink += digest[0];
      },
      seconds);

  std::printf(
      "policy_hash: %.3f ms, text alone %.3f ms, SHA-256 alone %.3f ms over %zu bytes: "
      "%.2fx\n",
      hash_ns / 1e6, text_ns / 1e6, sha_ns / 1e6, text_bytes, hash_ns / sha_ns);
  return sink == 42 ? 3 : 0;
}
