#include "binding/batch_answers.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "binding/argument_binding.h"
#include "binding/decision_lines_type.h"
#include "binding/errors.h"
#include "binding/input_conversion.h"
#include "binding/kavro_state.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"
#include "engine/batch_answers.h"

namespace kavro::binding {

namespace {

constexpr std::array<const char*, 5> kNames = {"requests", "policy_hash", "answer", "check", "log"};
constexpr Signature kSignature = {"PyKavro._decide_batch()", kNames, 5};

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return {};
  return {utf8, static_cast<std::size_t>(size)};
}

// The __qualname__ of the exact types convert_plain takes, for the check's messages.
std::string_view type_name_of(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) return "bool";
  if (type == &PyUnicode_Type) return "str";
  if (type == &PyFloat_Type) return "float";
  return "int";
}

std::optional<engine::Domain> domain_named(PyObject* key) {
  for (engine::Domain domain : engine::values_of<engine::Domain>()) {
    if (key == domain_key(domain)) return domain;
  }
  const std::string_view text = utf8_view(key);
  if (text.data() == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  for (engine::Domain domain : engine::values_of<engine::Domain>()) {
    if (text == engine::spelling(domain)) return domain;
  }
  return std::nullopt;
}

// The requests of one call, a private list: no Python code runs between a
// request's conversion and its decision, so the texts viewed stay alive.
class ListSource {
 public:
  ListSource(const KavroState& state, PyObject* requests, PyObject* answer, PyObject* log,
             std::string_view policy_hash)
      : state_(state), requests_(requests), answer_(answer), log_(log), policy_hash_(policy_hash) {}

  engine::Conversion convert(std::size_t index, engine::ConvertedRequest& request) {
    PyObject* input = PyList_GetItem(requests_, static_cast<Py_ssize_t>(index));
    if (Py_TYPE(input) != &PyDict_Type) return engine::Conversion::Elsewhere;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* map = nullptr;
    while (PyDict_Next(input, &position, &key, &map)) {
      if (Py_TYPE(key) != &PyUnicode_Type || Py_TYPE(map) != &PyDict_Type) {
        return engine::Conversion::Elsewhere;
      }
      const std::optional<engine::Domain> domain = domain_named(key);
      if (!domain) return engine::Conversion::Elsewhere;
      request.sections.push_back(engine::spelling(*domain));
      const engine::Conversion converted = convert_map(*domain, map, request);
      if (converted != engine::Conversion::Converted) return converted;
    }
    return engine::Conversion::Converted;
  }

  bool answer(std::size_t index, engine::BatchAnswers& answers) {
    PyRef number = PyRef::steal(PyLong_FromSize_t(index));
    if (!number) return false;
    PyRef json = PyRef::steal(PyObject_CallFunctionObjArgs(answer_, number.get(), nullptr));
    if (!json) return false;
    if (!PyBytes_Check(json.get())) {
      PyErr_SetString(PyExc_TypeError, "answer() must return the JSON of a request as bytes");
      return false;
    }
    answers.answered(
        {PyBytes_AsString(json.get()), static_cast<std::size_t>(PyBytes_Size(json.get()))});
    return true;
  }

  bool log(std::size_t index, std::uint32_t number, std::optional<std::string>& id) {
    if (log_ == nullptr) return true;
    std::string made;
    PyObject* input = PyList_GetItem(requests_, static_cast<Py_ssize_t>(index));
    if (!log_decision(log_, state_, input, policy_hash_, number, made)) return false;
    id = std::move(made);
    return true;
  }

 private:
  engine::Conversion convert_map(engine::Domain domain, PyObject* map,
                                 engine::ConvertedRequest& request) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(map, &position, &key, &value)) {
      if (Py_TYPE(key) != &PyUnicode_Type) return engine::Conversion::Elsewhere;
      const std::uint32_t slot = state_.field_keys.find(domain, key);
      if (slot == FieldKeys::kFailed) {
        PyErr_Clear();
        return engine::Conversion::Elsewhere;
      }
      engine::ValueView view;
      if (!convert_plain(value, view)) return engine::Conversion::Elsewhere;
      if (slot != engine::kNoSlot) request.row[slot] = view;
      const std::string_view field = utf8_view(key);
      if (field.data() == nullptr) {
        PyErr_Clear();
        return engine::Conversion::Elsewhere;
      }
      const std::string_view text =
          view.kind == engine::ValueKind::String ? view.text : std::string_view();
      request.entries.push_back({domain, field, view.kind, type_name_of(value), text});
    }
    return engine::Conversion::Converted;
  }

  const KavroState& state_;
  PyObject* requests_;
  PyObject* answer_;
  PyObject* log_;
  std::string_view policy_hash_;
};

PyObject* counts_of(const KavroState& state, const engine::BatchAnswers& answers) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  const std::vector<std::uint64_t>& counts = answers.counts();
  for (std::uint32_t number = 0; number < counts.size(); ++number) {
    if (counts[number] == 0) continue;
    const bool ruled = number != state.policy.no_rule();
    const engine::Effect effect = state.policy.effect_of(number);
    PyObject* rule = ruled ? new_text(state.policy.rules()[number].id) : none();
    PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(counts[number]));
    PyRef effect_text = PyRef::steal(new_text(engine::spelling(effect)));
    PyRef rule_text = PyRef::steal(rule);
    if (!count || !effect_text || !rule_text) return nullptr;
    if (!append_item(list.get(),
                     PyTuple_Pack(3, effect_text.get(), rule_text.get(), count.get()))) {
      return nullptr;
    }
  }
  return list.release();
}

}  // namespace

PyObject* kavro_decide_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    std::array<PyObject*, kNames.size()> bound{};
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    if (!PyList_Check(bound[0])) {
      raise_cannot_convert(bound[0], "PyList");
      prefix_argument_error(kNames[0]);
      return nullptr;
    }
    if (!PyUnicode_Check(bound[1])) {
      raise_cannot_convert(bound[1], "PyString");
      prefix_argument_error(kNames[1]);
      return nullptr;
    }
    const std::string_view policy_hash = utf8_view(bound[1]);
    if (policy_hash.data() == nullptr) return nullptr;
    const int check = PyObject_IsTrue(bound[3]);
    if (check < 0) return nullptr;
    PyObject* log = bound[4] == Py_None ? nullptr : bound[4];
    if (log != nullptr && !is_decision_lines(log)) {
      raise_cannot_convert(log, "DecisionLines");
      prefix_argument_error(kNames[4]);
      return nullptr;
    }
    // A private copy: `answer` runs Python code, which must not change the batch under us.
    PyRef requests = PyRef::steal(PyList_GetSlice(bound[0], 0, PyList_Size(bound[0])));
    if (!requests) return nullptr;
    const PyRef kept_self = PyRef::borrow(self);
    const KavroState& state = state_of(self);
    ListSource source(state, requests.get(), bound[2], log, policy_hash);
    engine::BatchAnswers answers(state.policy, policy_hash);
    const bool answered =
        engine::answer_batch(state.policy, static_cast<std::size_t>(PyList_Size(requests.get())),
                             source, check == 1, answers);
    if (!answered) {
      // The lines of the decisions made still reach the sink; the batch's own error wins.
      if (log != nullptr) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        if (!flush_decision_lines(log)) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
      }
      return nullptr;
    }
    if (log != nullptr && !flush_decision_lines(log)) return nullptr;
    PyRef counts = PyRef::steal(counts_of(state, answers));
    if (!counts) return nullptr;
    const std::string document = answers.finish();
    PyRef body = PyRef::steal(
        PyBytes_FromStringAndSize(document.data(), static_cast<Py_ssize_t>(document.size())));
    if (!body) return nullptr;
    return PyTuple_Pack(2, body.get(), counts.get());
  });
}

}  // namespace kavro::binding
