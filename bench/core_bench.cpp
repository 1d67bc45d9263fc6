// The engine's hot paths without Python or the loader: builds the compiled
// model of a workload directly (from the lines of workloads.core_dump), then
// times evaluate_policy per rule examined and per request and policy_hash against SHA-256
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
#include "compiler/sha256.h"
#include "compiler/text_form.h"
#include "evaluation/evaluator.h"

namespace {

using Clock = std::chrono::steady_clock;

kavro::documents::Domain domain_of(const std::string& text) {
  return *kavro::documents::from_spelling<kavro::documents::Domain>(text);
}

kavro::compiler::RuntimeValue literal_of(std::istream& in) {
  std::string type, value;
  in >> type >> value;
  if (type == "n") return std::stod(value);
  if (type == "b") return value == "1";
  return value;
}

kavro::documents::Effect effect_of(const std::string& text) {
  if (text == "block") return kavro::documents::Effect::Block;
  if (text == "require_approval") return kavro::documents::Effect::RequireApproval;
  return kavro::documents::Effect::Allow;
}

struct Request {
  long examined = 0;
  std::string expected;
  std::vector<std::tuple<kavro::documents::Domain, std::string, kavro::compiler::RuntimeValue>>
      fields;
};

struct Workload {
  kavro::evaluation::Plan plan;
  std::vector<Request> requests;
};

Workload read_dump(const char* path) {
  kavro::compiler::CompiledPolicy policy;
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
      std::vector<kavro::compiler::AtomicCondition> members;
      for (std::size_t i = 0; i < atoms && std::getline(file, line); ++i) {
        std::istringstream atom_in(line);
        std::string atom_tag, domain, field, op, rhs_kind;
        atom_in >> atom_tag >> domain >> field >> op >> rhs_kind;
        kavro::compiler::AtomicCondition atomic{
            {domain_of(domain), field},
            *kavro::documents::from_spelling<kavro::documents::Operator>(op),
            {}};
        if (rhs_kind == "lit") {
          atomic.rhs = literal_of(atom_in);
        } else {
          std::string rhs_domain, rhs_field;
          atom_in >> rhs_domain >> rhs_field;
          atomic.rhs = kavro::compiler::SubjectRef{domain_of(rhs_domain), rhs_field};
        }
        members.push_back(std::move(atomic));
      }
      kavro::compiler::CompiledCondition condition;
      if (kind == "atomic") {
        condition = std::move(members.front());
      } else if (kind == "all") {
        condition = kavro::compiler::AllOf{std::move(members)};
      } else {
        condition = kavro::compiler::AnyOf{std::move(members)};
      }
      kavro::compiler::CompiledRule rule{id, std::move(condition), effect_of(effect)};
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
  return Workload{kavro::evaluation::Plan::build(std::move(policy)), std::move(requests)};
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

// One pass over every input; apart so that callgrind can count its
// instructions alone (--toggle-collect) when run with 0 seconds.
[[gnu::noinline]] std::size_t decide_all(
    const kavro::evaluation::Plan& plan,
    const std::vector<std::unique_ptr<kavro::evaluation::EvaluationInput>>& inputs) {
  std::size_t blocked = 0;
  for (const auto& input : inputs) {
    blocked +=
        kavro::evaluation::evaluate_policy(plan, *input).effect == kavro::documents::Effect::Block;
  }
  return blocked;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: core_bench <dump file> [seconds]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::stod(argv[2]) : 1.0;
  Workload workload = read_dump(argv[1]);
  const kavro::evaluation::Plan& plan = workload.plan;
  const kavro::compiler::CompiledPolicy& policy = plan.model();

  std::vector<std::unique_ptr<kavro::evaluation::EvaluationInput>> inputs;
  long examined = 0;
  for (const auto& request : workload.requests) {
    auto input = std::make_unique<kavro::evaluation::EvaluationInput>(plan.field_slots());
    for (const auto& [domain, name, value] : request.fields) {
      input->set(domain, name, kavro::evaluation::view_of(value));
    }
    const auto result = kavro::evaluation::evaluate_policy(plan, *input);
    const std::string decided(result.matched_rule.value_or("-"));
    if (decided != request.expected) {
      std::fprintf(stderr, "wrong decision: %s, expected %s\n", decided.c_str(),
                   request.expected.c_str());
      return 1;
    }
    examined += request.examined;
    inputs.push_back(std::move(input));
  }
  std::size_t sink = 0;
  const double pass_ns = best_ns([&] { sink += decide_all(plan, inputs); }, seconds);
  const double evaluate_ns = pass_ns / static_cast<double>(examined);
  std::printf(
      "evaluate_policy: %.2f ns per rule examined, %.1f ns per request (%zu requests, %ld rules "
      "examined)\n",
      evaluate_ns, pass_ns / static_cast<double>(inputs.size()), inputs.size(), examined);
  // The rules the index leaves to check: what a request really costs.
  long visited = 0;
  for (const auto& input : inputs) {
    kavro::evaluation::find_deciding_rule(plan, *input, [&](std::uint32_t) { ++visited; });
  }
  std::printf("rules visited: %.1f per request, %.2f ns per rule visited\n",
              static_cast<double>(visited) / static_cast<double>(inputs.size()),
              evaluate_ns * static_cast<double>(examined) / static_cast<double>(visited));
  // What a visited rule adds, apart from what every request pays whatever it
  // visits (finding the bucket, probing the index): the least-squares line
  // through each request's own time against the rules it visits.
  {
    double n = 0, sum_v = 0, sum_t = 0, sum_vv = 0, sum_vt = 0;
    const double budget = seconds / static_cast<double>(inputs.size());
    for (const auto& input : inputs) {
      long rules = 0;
      kavro::evaluation::find_deciding_rule(plan, *input, [&](std::uint32_t) { ++rules; });
      constexpr int kCalls = 64;
      const double ns = best_ns(
                            [&] {
                              for (int call = 0; call < kCalls; ++call) {
                                sink += kavro::evaluation::evaluate_policy(plan, *input).effect ==
                                        kavro::documents::Effect::Block;
                              }
                            },
                            budget) /
                        kCalls;
      const double v = static_cast<double>(rules);
      n += 1;
      sum_v += v;
      sum_t += ns;
      sum_vv += v * v;
      sum_vt += v * ns;
    }
    const double spread = n * sum_vv - sum_v * sum_v;
    if (spread > 0) {
      const double per_rule = (n * sum_vt - sum_v * sum_t) / spread;
      std::printf("per request: %.1f ns fixed, %.2f ns per rule visited (least squares)\n",
                  (sum_t - per_rule * sum_v) / n, per_rule);
    }
  }

  const std::size_t text_bytes = kavro::compiler::policy_hash_text(policy).size();
  const double text_ns =
      best_ns([&] { sink += kavro::compiler::policy_hash_text(policy).size(); }, seconds);
  const double hash_ns =
      best_ns([&] { sink += kavro::compiler::policy_hash(policy).size(); }, seconds);
  const std::string bytes(text_bytes, 'x');
  const double sha_ns = best_ns(
      [&] {
        unsigned char digest[EVP_MAX_MD_SIZE];
        EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
        sink += digest[0];
      },
      seconds);
  const auto builtin_ns = [&](kavro::compiler::Sha256::Kernel kernel) {
    return best_ns(
        [&] {
          kavro::compiler::Sha256 digest(kernel);
          digest.update(bytes);
          sink += digest.finish()[0];
        },
        seconds);
  };
  const double builtin_best_ns = builtin_ns(kavro::compiler::Sha256().kernel());
  const double builtin_portable_ns = builtin_ns(kavro::compiler::Sha256::Kernel::kPortable);

  std::printf(
      "policy_hash: %.3f ms, text alone %.3f ms, SHA-256 alone %.3f ms over %zu bytes: "
      "%.2fx\n",
      hash_ns / 1e6, text_ns / 1e6, sha_ns / 1e6, text_bytes, hash_ns / sha_ns);
  std::printf(
      "built-in SHA-256 over the same bytes: %.3f ms (%s), %.3f ms portable; "
      "OpenSSL %.3f ms: %.2fx and %.2fx of OpenSSL's time\n",
      builtin_best_ns / 1e6,
      kavro::compiler::Sha256::has_sha_extensions() ? "SHA extensions" : "portable",
      builtin_portable_ns / 1e6, sha_ns / 1e6, builtin_best_ns / sha_ns,
      builtin_portable_ns / sha_ns);
  return sink == 42 ? 3 : 0;
}
