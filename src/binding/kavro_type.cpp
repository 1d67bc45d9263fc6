#include "binding/kavro_type.h"

#include <array>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "binding/argument_binding.h"
#include "binding/arrow_evaluation.h"
#include "binding/batch_answers.h"
#include "binding/compiled_rules.h"
#include "binding/engine_travel.h"
#include "binding/errors.h"
#include "binding/explanation_result.h"
#include "binding/field_keys.h"
#include "binding/input_conversion.h"
#include "binding/interpreter_lock.h"
#include "binding/kavro_state.h"
#include "binding/many_decisions.h"
#include "binding/policy_error.h"
#include "binding/py_ref.h"
#include "binding/request_check_result.h"
#include "binding/rule_id_texts.h"
#include "binding/rule_records.h"
#include "engine/policy.h"

namespace kavro::binding {

namespace {

// The project version in CMakeLists.txt, the one place it is written.
constexpr std::string_view kCompilerVersion = KAVRO_VERSION;

constexpr const char* kTypeDoc =
    "PyKavro(schema_yaml, policy_yaml, governance_yaml=None)\n--\n\n"
    "Python-exposed Kavro class.\n\n"
    "This is a thin wrapper around `CompiledPolicy`.\n"
    "Compilation occurs during initialization.\n"
    "Evaluation is deterministic and stateless.";

constexpr const char* kEvaluateDoc =
    "evaluate($self, input)\n--\n\n"
    "Evaluates the compiled policy against runtime input.\n\n"
    "Expected input format:\n"
    "{\n"
    "    \"action\": { ... },\n"
    "    \"actor\": { ... },\n"
    "    \"snapshot\": { ... }\n"
    "}\n\n"
    "Missing keys are treated as empty maps.\n\n"
    "Returns:\n"
    "{\n"
    "    \"effect\": \"allow\" | \"block\" | \"require_approval\",\n"
    "    \"matched_rule\": Optional[str]\n"
    "}";

constexpr const char* kExplainDoc =
    "explain($self, input)\n--\n\n"
    "Evaluates `input` as evaluate does and also says why: the action bucket\n"
    "tried, every rule examined in order with each comparison it made, and\n"
    "whether the default decided. Slower than evaluate; never decides differently.";

constexpr const char* kMissingFieldsDoc =
    "missing_fields($self, input)\n--\n\n"
    "The fields that the rules of `input`'s action and the global rules read\n"
    "and `input` lacks, in check_request's form with kind \"MissingField\":\n"
    "no comparison with such a field holds (but absent), so a block rule on\n"
    "it lets the request through. Never changes what evaluate decides.";

constexpr const char* kCheckRequestDoc =
    "check_request($self, input)\n--\n\n"
    "The problems of `input` against the schema, as a list of dicts with\n"
    "\"path\", \"kind\" and \"message\": an undeclared action type, undeclared\n"
    "fields, declared fields holding a value of another type. Never changes\n"
    "what evaluate decides; a request evaluate refuses raises the same error.";

constexpr const char* kPolicyHashDoc = "policy_hash($self)\n--\n\n";

constexpr const char* kRulesDoc =
    "rules($self)\n--\n\n"
    "The policy's rules in document order, as kavro.Rule records: the id as\n"
    "the engine holds it, the number (place in the document, from 0), the\n"
    "scope, the effect and the line where the rule starts.";
constexpr const char* kCompilerVersionDoc = "compiler_version()\n--\n\n";

constexpr std::array<const char*, 3> kConstructorNames = {"schema_yaml", "policy_yaml",
                                                          "governance_yaml"};
constexpr Signature kConstructor = {"PyKavro.__new__()", kConstructorNames, 2};
constexpr std::array<const char*, 1> kEvaluateNames = {"input"};
constexpr Signature kEvaluate = {"PyKavro.evaluate()", kEvaluateNames, 1};
constexpr Signature kExplain = {"PyKavro.explain()", kEvaluateNames, 1};
constexpr Signature kCheckRequest = {"PyKavro.check_request()", kEvaluateNames, 1};
constexpr Signature kMissingFields = {"PyKavro.missing_fields()", kEvaluateNames, 1};

PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* kavro_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kConstructorNames.size()> bound{};
    if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
    std::array<std::optional<std::string_view>, kConstructorNames.size()> texts;
    for (std::size_t i = 0; i < bound.size(); ++i) {
      // Only the optional governance text may be absent, given or not as None.
      const bool optional = i >= kConstructor.required;
      if (optional && (bound[i] == nullptr || bound[i] == Py_None)) continue;
      texts[i] = argument_text(bound[i], kConstructorNames[i]);
      if (!texts[i]) return nullptr;
    }
    // Kept for pickling; the engine reads these copies, not the str objects,
    // so it builds with the interpreter lock released.
    SourceTexts sources{std::string(*texts[0]), std::string(*texts[1]),
                        std::string(texts[2].value_or("")), texts[2].has_value()};
    std::optional<Result<engine::Policy, engine::BuildError>> policy;
    {
      const ReleasedLock released;
      std::optional<std::string_view> governance;
      if (sources.has_governance) governance = sources.governance;
      policy.emplace(engine::Policy::build(sources.schema, sources.policy, governance));
    }
    if (!*policy) {
      raise_policy_error(policy->error());
      return nullptr;
    }

    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (allocate == nullptr) allocate = PyType_GenericAlloc;
    PyObject* self = allocate(type, 0);
    if (self == nullptr) return nullptr;
    static_assert(std::is_nothrow_move_constructible_v<engine::Policy>,
                  "the instance must never hold a half-built policy");
    new (reinterpret_cast<KavroObject*>(self)->state_storage)
        KavroState(std::move(*policy).value(), std::move(sources));
    reinterpret_cast<KavroObject*>(self)->constructed = true;
    // From here on, dropping the object (on an error below) releases the state.
    PyRef instance = PyRef::steal(self);
    KavroState& state = state_of(self);
    if (!state.field_keys.build(state.policy.input_fields())) return nullptr;
    if (!state.rule_texts.build(state.policy.rules())) return nullptr;
    state.result_templates.resize(state.policy.rules().size() + 1);
    return instance.release();
  });
}

void kavro_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (is_constructed(self)) state_of(self).~KavroState();
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The request argument of evaluate and explain, or null with the exception
// that evaluate raises.
PyObject* request_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  std::array<PyObject*, kEvaluateNames.size()> bound{};
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyObject* input = bound[0];
  if (!PyDict_Check(input)) {
    raise_cannot_convert(input, "PyDict");
    prefix_argument_error(kEvaluateNames[0]);
    return nullptr;
  }
  return input;
}

PyObject* kavro_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    PyObject* input = request_argument(kEvaluate, args, nargs, kwnames);
    if (input == nullptr) return nullptr;
    const KavroState& state = state_of(self);
    engine::Input converted(state.policy.input_fields());
    HeldTexts held;
    if (!convert_input(input, state.field_keys, converted, held)) return nullptr;
    return decision_result(state, state.policy.deciding_number(converted));
  });
}

PyObject* kavro_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    PyObject* input = request_argument(kExplain, args, nargs, kwnames);
    if (input == nullptr) return nullptr;
    const KavroState& state = state_of(self);
    engine::Input converted(state.policy.input_fields());
    HeldTexts held;
    if (!convert_input(input, state.field_keys, converted, held)) return nullptr;
    return build_explanation(state.policy.explain(converted));
  });
}

PyObject* kavro_check_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    PyObject* input = request_argument(kCheckRequest, args, nargs, kwnames);
    if (input == nullptr) return nullptr;
    const KavroState& state = state_of(self);
    return request_problems(state.policy, state.field_keys, input);
  });
}

PyObject* kavro_missing_fields(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    PyObject* input = request_argument(kMissingFields, args, nargs, kwnames);
    if (input == nullptr) return nullptr;
    const KavroState& state = state_of(self);
    engine::Input converted(state.policy.input_fields());
    HeldTexts held;
    if (!convert_input(input, state.field_keys, converted, held)) return nullptr;
    return problem_list(state.policy.missing_fields(converted));
  });
}

PyObject* kavro_policy_hash(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    const engine::Policy& policy = state_of(self).policy;
    // Computed once; the first call renders the whole policy, which other
    // threads need not wait for.
    const std::string* hash = nullptr;
    {
      const ReleasedLock released;
      hash = &policy.policy_hash();
    }
    return new_text(*hash);
  });
}

PyObject* kavro_rules(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    return rule_records(state_of(self).policy);
  });
}

PyObject* kavro_compiler_version(PyObject*, PyObject*) {
  return guarded([] { return new_text(kCompilerVersion); });
}

PyMethodDef kavro_methods[] = {
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_evaluate)),
     METH_FASTCALL | METH_KEYWORDS, kEvaluateDoc},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_explain)),
     METH_FASTCALL | METH_KEYWORDS, kExplainDoc},
    {"check_request",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_check_request)),
     METH_FASTCALL | METH_KEYWORDS, kCheckRequestDoc},
    {"missing_fields",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kavro_missing_fields)),
     METH_FASTCALL | METH_KEYWORDS, kMissingFieldsDoc},
    {"policy_hash", kavro_policy_hash, METH_NOARGS, kPolicyHashDoc},
    {"rules", kavro_rules, METH_NOARGS, kRulesDoc},
    {"compiler_version", kavro_compiler_version, METH_NOARGS | METH_STATIC, kCompilerVersionDoc},
    kEvaluateManyMethod,
    kDecideBatchMethod,
    kEvaluateArrowMethod,
    kReduceMethod,
    kCopyMethod,
    kDeepCopyMethod,
    kCompiledRulesMethod,
    kPolicyDefaultMethod,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kavro_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(kavro_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kavro_dealloc)},
    {Py_tp_methods, kavro_methods},
    {Py_tp_repr, reinterpret_cast<void*>(kavro_repr)},
    {0, nullptr},
};

// Default flags only: without Py_TPFLAGS_BASETYPE Python code cannot subclass
// the type, and without dict or weak-reference offsets instances take no
// attributes. Named after the package that exports it, so that pickle and the
// workers of distributed runtimes find the class by module and name.
// Made once per process by create_kavro_type and never released.
PyObject* kavro_class = nullptr;

PyType_Spec kavro_spec = {
    "kavro.PyKavro", static_cast<int>(sizeof(KavroObject)), 0, Py_TPFLAGS_DEFAULT, kavro_slots,
};

}  // namespace

PyObject* create_kavro_type() {
  kavro_class = PyType_FromSpec(&kavro_spec);
  return kavro_class;
}

bool is_kavro_instance(PyObject* object) {
  return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(kavro_class);
}

}  // namespace kavro::binding
