#include "binding/decision_lines_type.h"

#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <vector>

#include "binding/argument_binding.h"
#include "binding/errors.h"
#include "binding/input_conversion.h"
#include "binding/kavro_type.h"
#include "binding/many_decisions.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"
#include "binding/request_json.h"
#include "engine/decision_json.h"

namespace kavro::binding {

namespace {

constexpr const char* kTypeDoc =
    "DecisionLines(sink, id_prefix, mask, flush_every, text_lines, enabled=None)\n--\n\n"
    "Renders decision log lines and hands them to `sink`: each line as a str\n"
    "when `text_lines`, else lines ending in a line break, joined as bytes once\n"
    "`flush_every` of them wait. `mask` maps a part to the fields written as\n"
    "\"<masked>\". Decision ids are `id_prefix` and a serial number. While\n"
    "`enabled()` (when given) is false, decisions get ids but no lines.";

// Room for the parts of most requests without growing the text.
constexpr std::size_t kLineRoom = 1024;

struct LinesState {
  LinesState(PyRef&& given_sink, PyRef&& given_enabled, std::string prefix, FieldMask&& given_mask,
             std::size_t flush, bool text)
      : sink(std::move(given_sink)),
        enabled(std::move(given_enabled)),
        ids(std::move(prefix)),
        mask(std::move(given_mask)),
        flush_every(flush),
        text_lines(text) {}

  PyRef sink;
  PyRef enabled;  // null: always
  engine::DecisionIds ids;
  engine::LineClock clock;
  FieldMask mask;
  std::size_t flush_every;
  bool text_lines;
  std::string waiting;  // lines not yet handed to the sink, each ending in a line break
  std::size_t waiting_lines = 0;
  // Where the line being written into `waiting` starts, or npos. A value's
  // hook runs Python code, which may log from another thread meanwhile: its
  // line goes in before the open one.
  std::size_t open_line = std::string::npos;
};

struct LinesObject {
  PyObject header;
  bool constructed;
  alignas(LinesState) unsigned char storage[sizeof(LinesState)];
};

PyObject* lines_type = nullptr;
// The keys decide adds to a decision, interned once per process.
PyObject* policy_hash_key = nullptr;
PyObject* decision_id_key = nullptr;

LinesState& lines_of(PyObject* self) {
  return *std::launder(
      reinterpret_cast<LinesState*>(reinterpret_cast<LinesObject*>(self)->storage));
}

bool ensure_lines(PyObject* self) {
  if (reinterpret_cast<LinesObject*>(self)->constructed) return true;
  PyErr_SetString(PyExc_TypeError, "DecisionLines object is not initialised");
  return false;
}

// Whether lines are written now; -1 with an exception set.
int lines_enabled(LinesState& lines) {
  if (!lines.enabled) return 1;
  const PyRef enabled = PyRef::borrow(lines.enabled.get());
  const PyRef answer = PyRef::steal(PyObject_CallNoArgs(enabled.get()));
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

bool call_sink(LinesState& lines, PyObject* argument) {
  // The sink may be the last holder of itself once called: keep it for the call.
  const PyRef sink = PyRef::borrow(lines.sink.get());
  const PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(sink.get(), argument, nullptr));
  return static_cast<bool>(result);
}

bool flush(LinesState& lines) {
  if (lines.waiting.empty() || lines.open_line != std::string::npos) return true;
  // Taken out first: the sink runs Python code, and another thread may log meanwhile.
  PyRef chunk = PyRef::steal(PyBytes_FromStringAndSize(
      lines.waiting.data(), static_cast<Py_ssize_t>(lines.waiting.size())));
  if (!chunk) return false;
  lines.waiting.clear();
  lines.waiting_lines = 0;
  return call_sink(lines, chunk.get());
}

bool emit(LinesState& lines, std::string_view line) {
  if (lines.text_lines) {
    PyRef text = PyRef::steal(new_text(line));
    return text && call_sink(lines, text.get());
  }
  if (lines.open_line != std::string::npos) {
    lines.waiting.insert(lines.open_line, line);
    lines.waiting.insert(lines.open_line + line.size(), 1, '\n');
    lines.open_line += line.size() + 1;
    ++lines.waiting_lines;
    return true;
  }
  lines.waiting += line;
  lines.waiting += '\n';
  if (++lines.waiting_lines < lines.flush_every) return true;
  return flush(lines);
}

// Marks the line being written into the waiting lines, for its length.
class OpenLine {
 public:
  explicit OpenLine(LinesState& lines) : lines_(lines) { lines.open_line = lines.waiting.size(); }
  OpenLine(const OpenLine&) = delete;
  OpenLine& operator=(const OpenLine&) = delete;
  ~OpenLine() { lines_.open_line = std::string::npos; }

 private:
  LinesState& lines_;
};

// Writes the line of one decision (`id` is its new id) and hands it on when
// its turn comes. Straight into the waiting lines, unless they are handed
// over as texts one by one, or another line is open there.
Rendering write_line(LinesState& lines, PyObject* request, bool decided,
                     std::string_view policy_hash, std::string_view effect,
                     std::optional<std::string_view> rule, std::string& id, bool hold = false) {
  id = lines.ids.next();
  std::vector<std::string> masked;
  if (lines.text_lines || lines.open_line != std::string::npos) {
    std::string own;
    own.reserve(kLineRoom);
    engine::open_decision_line(own, lines.clock.now(), id, policy_hash);
    const Rendering rendering = append_request_parts(request, lines.mask, decided, own, masked);
    if (rendering != Rendering::Written) return rendering;
    engine::close_decision_line(own, effect, rule, masked);
    return emit(lines, own) ? Rendering::Written : Rendering::Failed;
  }
  {
    const OpenLine open(lines);
    std::string& out = lines.waiting;
    engine::open_decision_line(out, lines.clock.now(), id, policy_hash);
    const Rendering rendering = append_request_parts(request, lines.mask, decided, out, masked);
    if (rendering != Rendering::Written) {
      // Lines logged meanwhile stand before the open one, which goes.
      out.resize(lines.open_line);
      return rendering;
    }
    engine::close_decision_line(out, effect, rule, masked);
    out += '\n';
  }
  if (++lines.waiting_lines < lines.flush_every || hold) return Rendering::Written;
  return flush(lines) ? Rendering::Written : Rendering::Failed;
}

// Logs a decision of `state`'s policy; Unwritten when the request holds what
// the line cannot say as decided.
Rendering log_decided(LinesState& lines, const KavroState& state, PyObject* request,
                      std::string_view policy_hash, std::uint32_t number, std::string& id,
                      bool hold = false) {
  const int on = lines_enabled(lines);
  if (on < 0) return Rendering::Failed;
  if (on == 0) {
    id = lines.ids.next();
    return Rendering::Written;
  }
  const bool ruled = number != state.policy.no_rule();
  const engine::Effect effect = state.policy.effect_of(number);
  std::optional<std::string_view> rule;
  if (ruled) rule = state.policy.rules()[number].id;
  return write_line(lines, request, true, policy_hash, engine::spelling(effect), rule, id, hold);
}

void raise_unloggable() {
  PyErr_SetString(PyExc_TypeError, "a request value cannot be logged as JSON");
}

constexpr std::array<const char*, 6> kConstructorNames = {"sink",        "id_prefix",  "mask",
                                                          "flush_every", "text_lines", "enabled"};
constexpr Signature kConstructor = {"DecisionLines.__new__()", kConstructorNames, 5};

bool read_mask(PyObject* given, FieldMask& mask) {
  if (!PyDict_Check(given)) {
    raise_cannot_convert(given, "PyDict");
    prefix_argument_error("mask");
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* part = nullptr;
  PyObject* fields = nullptr;
  while (PyDict_Next(given, &position, &part, &fields)) {
    const auto name = argument_text(part, "mask");
    if (!name) return false;
    std::vector<std::string>* masked = nullptr;
    for (engine::Domain domain : engine::values_of<engine::Domain>()) {
      if (*name == engine::spelling(domain)) masked = &mask[static_cast<int>(domain)];
    }
    if (masked == nullptr) {
      raise_value_error("cannot mask a field of " + std::string(*name));
      return false;
    }
    const PyRef list = PyRef::steal(PySequence_List(fields));
    if (!list) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
      const auto field = argument_text(PyList_GetItem(list.get(), i), "mask");
      if (!field) return false;
      masked->emplace_back(*field);
    }
  }
  return true;
}

PyObject* lines_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kConstructorNames.size()> bound{};
    if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
    if (!PyCallable_Check(bound[0])) {
      PyErr_SetString(PyExc_TypeError, "argument 'sink': a callable is needed");
      return nullptr;
    }
    const auto prefix = argument_text(bound[1], "id_prefix");
    if (!prefix) return nullptr;
    FieldMask mask;
    if (!read_mask(bound[2], mask)) return nullptr;
    const Py_ssize_t flush_every = PyLong_AsSsize_t(bound[3]);
    if (flush_every == -1 && PyErr_Occurred()) return nullptr;
    if (flush_every < 1) {
      raise_value_error("flush_every must be at least 1");
      return nullptr;
    }
    const int text_lines = PyObject_IsTrue(bound[4]);
    if (text_lines < 0) return nullptr;
    PyObject* enabled = bound[5] == Py_None ? nullptr : bound[5];
    if (enabled != nullptr && !PyCallable_Check(enabled)) {
      PyErr_SetString(PyExc_TypeError, "argument 'enabled': a callable or None is needed");
      return nullptr;
    }
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = allocate(type, 0);
    if (self == nullptr) return nullptr;
    new (reinterpret_cast<LinesObject*>(self)->storage)
        LinesState(PyRef::borrow(bound[0]), PyRef::borrow(enabled), std::string(*prefix),
                   std::move(mask), static_cast<std::size_t>(flush_every), text_lines == 1);
    reinterpret_cast<LinesObject*>(self)->constructed = true;
    return self;
  });
}

void lines_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (reinterpret_cast<LinesObject*>(self)->constructed) lines_of(self).~LinesState();
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// Decides `input` by `state`'s policy as evaluate does (`number` is the
// deciding rule's) and logs it, the line written as the request is converted,
// so that it is walked once. False with evaluate's exception, or the sink's.
bool decide_and_log(LinesState& lines, const KavroState& state, PyObject* input,
                    std::string_view policy_hash, std::uint32_t& number, std::string& id) {
  const int on = lines_enabled(lines);
  if (on < 0) return false;
  id = lines.ids.next();
  engine::Input converted(state.policy.input_fields());
  HeldTexts held;
  if (on == 0) {
    if (!convert_input(input, state.field_keys, converted, held)) return false;
    number = state.policy.deciding_number(converted);
    return true;
  }
  const bool direct = !lines.text_lines && lines.open_line == std::string::npos;
  std::string own;
  std::optional<OpenLine> open;
  if (direct) {
    open.emplace(lines);
  } else {
    own.reserve(kLineRoom);
  }
  std::string& out = direct ? lines.waiting : own;
  engine::open_decision_line(out, lines.clock.now(), id, policy_hash);
  std::vector<std::string> masked;
  PartsWriter parts(out, lines.mask, masked);
  if (!convert_input(input, state.field_keys, converted, held, &parts)) {
    // Lines a hook logged meanwhile stand before the open one, which goes.
    if (direct) out.resize(lines.open_line);
    return false;
  }
  number = state.policy.deciding_number(converted);
  const bool ruled = number != state.policy.no_rule();
  const engine::Effect effect = state.policy.effect_of(number);
  std::optional<std::string_view> rule;
  if (ruled) rule = state.policy.rules()[number].id;
  engine::close_decision_line(out, engine::spelling(effect), rule, masked);
  if (!direct) return emit(lines, own);
  out += '\n';
  open.reset();
  if (++lines.waiting_lines < lines.flush_every) return true;
  return flush(lines);
}

constexpr std::array<const char*, 3> kDecideNames = {"engine", "policy_hash", "input"};
constexpr Signature kDecide = {"DecisionLines.decide()", kDecideNames, 3};

PyObject* lines_decide(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_lines(self)) return nullptr;
    std::array<PyObject*, kDecideNames.size()> bound{};
    if (!bind_arguments(kDecide, args, nargs, kwnames, bound)) return nullptr;
    PyObject* engine = bound[0];
    if (!is_kavro_instance(engine)) {
      raise_cannot_convert(engine, "PyKavro");
      prefix_argument_error("engine");
      return nullptr;
    }
    if (!ensure_constructed(engine)) return nullptr;
    const auto policy_hash = argument_text(bound[1], "policy_hash");
    if (!policy_hash) return nullptr;
    PyObject* input = bound[2];
    if (!PyDict_Check(input)) {
      raise_cannot_convert(input, "PyDict");
      prefix_argument_error("input");
      return nullptr;
    }
    // The engine and the request are held: the hooks of a value run Python code.
    const PyRef kept_engine = PyRef::borrow(engine);
    const PyRef kept_input = PyRef::borrow(input);
    const KavroState& state = state_of(engine);
    std::uint32_t number = 0;
    std::string id;
    if (!decide_and_log(lines_of(self), state, input, *policy_hash, number, id)) return nullptr;
    PyRef decision = PyRef::steal(decision_result(state, number));
    if (!decision) return nullptr;
    PyRef id_text = PyRef::steal(new_text(id));
    if (!id_text || PyDict_SetItem(decision.get(), policy_hash_key, bound[1]) < 0 ||
        PyDict_SetItem(decision.get(), decision_id_key, id_text.get()) < 0) {
      return nullptr;
    }
    return decision.release();
  });
}

constexpr std::array<const char*, 4> kRecordNames = {"policy_hash", "input", "effect",
                                                     "matched_rule"};
constexpr Signature kRecord = {"DecisionLines.record()", kRecordNames, 4};

PyObject* lines_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!ensure_lines(self)) return nullptr;
    std::array<PyObject*, kRecordNames.size()> bound{};
    if (!bind_arguments(kRecord, args, nargs, kwnames, bound)) return nullptr;
    const auto policy_hash = argument_text(bound[0], "policy_hash");
    if (!policy_hash) return nullptr;
    // What is not a text here is written by the caller's own encoder.
    if (!PyUnicode_Check(bound[2]) || (bound[3] != Py_None && !PyUnicode_Check(bound[3]))) {
      return none();
    }
    const auto effect = argument_text(bound[2], "effect");
    if (!effect) return nullptr;
    std::optional<std::string_view> rule;
    if (bound[3] != Py_None) {
      rule = argument_text(bound[3], "matched_rule");
      if (!rule) return nullptr;
    }
    LinesState& lines = lines_of(self);
    const int on = lines_enabled(lines);
    if (on < 0) return nullptr;
    if (on == 0) return new_text(lines.ids.next());
    std::string id;
    switch (write_line(lines, bound[1], false, *policy_hash, *effect, rule, id)) {
      case Rendering::Written:
        return new_text(id);
      case Rendering::Unwritten:
        return none();
      case Rendering::Failed:
        return nullptr;
    }
    return nullptr;
  });
}

PyObject* lines_write(PyObject* self, PyObject* line) {
  return guarded([&]() -> PyObject* {
    if (!ensure_lines(self)) return nullptr;
    const auto text = argument_text(line, "line");
    if (!text || !emit(lines_of(self), *text)) return nullptr;
    return none();
  });
}

PyObject* lines_flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_lines(self)) return nullptr;
    return flush(lines_of(self)) ? none() : nullptr;
  });
}

PyObject* lines_new_id(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_lines(self)) return nullptr;
    return new_text(lines_of(self).ids.next());
  });
}

PyMethodDef lines_methods[] = {
    {"decide", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_decide)),
     METH_FASTCALL | METH_KEYWORDS,
     "decide($self, engine, policy_hash, input)\n--\n\n"
     "The decision evaluate makes, with `policy_hash` and a new `decision_id`,\n"
     "logged with the request as the engine read it. Raises what evaluate raises."},
    {"record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_record)),
     METH_FASTCALL | METH_KEYWORDS,
     "record($self, policy_hash, input, effect, matched_rule)\n--\n\n"
     "Logs a decision made elsewhere and returns its new id; None, with\n"
     "nothing logged, when the request holds a value other than None, bool,\n"
     "int, float or str, or a map that is not a dict with str keys."},
    {"write", lines_write, METH_O,
     "write($self, line, /)\n--\n\nHands a line rendered elsewhere to the sink as the others."},
    {"flush", lines_flush, METH_NOARGS,
     "flush($self)\n--\n\nHands the lines still waiting to the sink."},
    {"new_id", lines_new_id, METH_NOARGS,
     "new_id($self)\n--\n\nA new decision id, for a line rendered elsewhere."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot lines_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(lines_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lines_dealloc)},
    {Py_tp_methods, lines_methods},
    {0, nullptr},
};

PyType_Spec lines_spec = {
    "kavro.DecisionLines", static_cast<int>(sizeof(LinesObject)), 0, Py_TPFLAGS_DEFAULT,
    lines_slots,
};

}  // namespace

PyObject* create_decision_lines_type() {
  policy_hash_key = PyUnicode_InternFromString("policy_hash");
  decision_id_key = PyUnicode_InternFromString("decision_id");
  if (policy_hash_key == nullptr || decision_id_key == nullptr) return nullptr;
  lines_type = PyType_FromSpec(&lines_spec);
  return lines_type;
}

PyObject* decision_lines_class() {
  return lines_type;
}

bool is_decision_lines(PyObject* object) {
  return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(lines_type) &&
         reinterpret_cast<LinesObject*>(object)->constructed;
}

bool log_decision(PyObject* lines, const KavroState& state, PyObject* request,
                  std::string_view policy_hash, std::uint32_t number, std::string& id) {
  switch (log_decided(lines_of(lines), state, request, policy_hash, number, id, true)) {
    case Rendering::Written:
      return true;
    case Rendering::Unwritten:
      raise_unloggable();
      return false;
    case Rendering::Failed:
      return false;
  }
  return false;
}

bool flush_decision_lines(PyObject* lines) {
  return flush(lines_of(lines));
}

}  // namespace kavro::binding
