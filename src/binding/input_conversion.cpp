#include "binding/input_conversion.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "binding/errors.h"
#include "binding/py_ref.h"
#include "documents/vocabulary.h"

namespace kavro::binding {

namespace {

// Interned once per process and never released (see errors.cpp).
std::array<PyObject*, documents::kDomainCount> domain_keys = {};
PyObject* effect_key = nullptr;
PyObject* matched_rule_key = nullptr;
// The three effect texts, shared by every result: a str is immutable, so a
// result cannot tell a shared one from a fresh one, and it saves building one
// per call.
std::array<PyObject*, 3> effect_texts = {};

void raise_unsupported_value() {
  PyErr_SetString(PyExc_TypeError, "Unsupported value type");
}

// The UTF-8 of a str, or null with the encoding error pending.
const char* utf8_of(PyObject* text, Py_ssize_t& size) {
  return PyUnicode_AsUTF8AndSize(text, &size);
}

// An interned str of `text`, or null with the error set.
PyObject* interned_text(std::string_view text) {
  PyObject* interned =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (interned != nullptr) PyUnicode_InternInPlace(&interned);
  return interned;
}

// A key's UTF-8; data() is null when encoding fails (the error is then set).
std::string_view key_text(PyObject* key) {
  Py_ssize_t size = 0;
  const char* utf8 = utf8_of(key, size);
  if (utf8 == nullptr) return {};
  return {utf8, static_cast<std::size_t>(size)};
}

bool has_ascii_name(PyObject* type, const char* attribute, const char* expected) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, attribute));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), expected) == 0;
}

// The boolean of a value whose type calls itself "numpy.bool_" (numpy 1) or
// "numpy.bool" (numpy 2, where `bool_` is an alias), through the type's own
// __bool__ (its array scalars are not bool but convert like one).
// Returns false, with no exception pending, when the step does not apply.
bool numpy_bool_value(PyObject* value, bool& truth) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  if (!has_ascii_name(type, "__module__", "numpy") ||
      !(has_ascii_name(type, "__name__", "bool_") || has_ascii_name(type, "__name__", "bool"))) {
    return false;
  }
  PyRef hook = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
  if (hook) {
    auto bind =
        reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(hook.get()), Py_tp_descr_get));
    if (bind != nullptr) hook = PyRef::steal(bind(hook.get(), value, type));
  }
  PyRef result = hook ? PyRef::steal(PyObject_CallNoArgs(hook.get())) : PyRef();
  if (!result || Py_TYPE(result.get()) != &PyBool_Type) {
    PyErr_Clear();
    return false;
  }
  truth = result.get() == Py_True;
  return true;
}

bool number_value(PyObject* value, double& number) {
  number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool text_value(PyObject* value, std::string_view& text) {
  Py_ssize_t size = 0;
  const char* utf8 = utf8_of(value, size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  text = {utf8, static_cast<std::size_t>(size)};
  return true;
}

enum class Converted { Done, Failed, NeedsHooks };

// Exact bool, str, float and int: none of them is named "numpy.bool_", float
// conversion fails for an exact str, and none of these steps runs Python code.
Converted convert_plain_value(PyObject* value, evaluation::ValueView& view) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) {
    view = evaluation::ValueView::of_boolean(value == Py_True);
  } else if (type == &PyUnicode_Type) {
    std::string_view text;
    if (!text_value(value, text)) {
      raise_unsupported_value();
      return Converted::Failed;
    }
    view = evaluation::ValueView::of_string(text);
  } else if (type == &PyFloat_Type) {
    view = evaluation::ValueView::of_number(PyFloat_AsDouble(value));
  } else if (type == &PyLong_Type) {
    // Directly to double: the float conversion would build and drop a float
    // object to reach the same double (or the same overflow).
    const double number = PyLong_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      raise_unsupported_value();
      return Converted::Failed;
    }
    view = evaluation::ValueView::of_number(number);
  } else {
    return Converted::NeedsHooks;
  }
  return Converted::Done;
}

// Every other value, in order: a numpy boolean, float conversion, a str
// subclass. Reading type attributes and calling __bool__, __float__ or
// __index__ can run the value's own Python code.
bool convert_value_with_hooks(PyObject* value, evaluation::ValueView& view) {
  bool truth = false;
  if (numpy_bool_value(value, truth)) {
    view = evaluation::ValueView::of_boolean(truth);
    return true;
  }
  double number = 0.0;
  if (number_value(value, number)) {
    view = evaluation::ValueView::of_number(number);
    return true;
  }
  std::string_view text;
  if (PyUnicode_Check(value) && text_value(value, text)) {
    view = evaluation::ValueView::of_string(text);
    return true;
  }
  raise_unsupported_value();
  return false;
}

// Hooks that call evaluate again nest conversions on the native stack. The
// interpreter's guard ends deep re-entry with RecursionError, which the
// conversion one level up treats like any failing hook; it counts Python
// frames too, so a raised recursion limit is backed by a fixed cap.
constexpr int kNestedConversionLimit = 200;
thread_local int nested_conversions = 0;

bool convert_hooked_value(PyObject* value, evaluation::ValueView& view) {
  if (nested_conversions >= kNestedConversionLimit) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while converting an evaluate input value");
    return false;
  }
  if (Py_EnterRecursiveCall(" while converting an evaluate input value") != 0) return false;
  ++nested_conversions;
  const bool converted = convert_value_with_hooks(value, view);
  --nested_conversions;
  Py_LeaveRecursiveCall();
  return converted;
}

bool convert_map(PyObject* map, documents::Domain domain, const FieldKeys& keys,
                 evaluation::EvaluationInput& converted, HeldTexts& held) {
  // Exact types first: in the limited API the subclass tests are calls.
  if (Py_TYPE(map) != &PyDict_Type && !PyDict_Check(map)) {
    raise_cannot_convert(map, "PyDict");
    return false;
  }
  const Py_ssize_t start_size = PyDict_Size(map);
  Py_ssize_t position = 0;
  Py_ssize_t produced = 0;
  // Only a value's hook can change the dictionary; until one has run, its
  // size is known to be the starting one without asking.
  bool hook_ran = false;
  bool any_hook_ran = false;
  for (;;) {
    // A hook that mutates the dictionary under us would make us read a
    // moving target, so this is treated as a broken invariant.
    if (hook_ran && PyDict_Size(map) != start_size) {
      raise_internal_failure("dictionary changed size during iteration");
      return false;
    }
    hook_ran = false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(map, &position, &key, &value)) {
      // A hook may have detached this map from the input: the caller's
      // reference may be the last one to the strings noted since.
      if (any_hook_ran) held.protect();
      return true;
    }
    if (++produced > start_size) {
      raise_internal_failure("dictionary keys changed during iteration");
      return false;
    }

    if (Py_TYPE(key) != &PyUnicode_Type && !PyUnicode_Check(key)) {
      // Reading the type's name can run code that drops the entry.
      PyRef kept = PyRef::borrow(key);
      raise_cannot_convert(kept.get(), "PyString");
      return false;
    }
    std::uint32_t slot = compiler::kNoSlot;
    if (Py_TYPE(key) == &PyUnicode_Type) {
      slot = keys.find(domain, key);
      if (slot == FieldKeys::kFailed) return false;
    } else {
      const std::string_view text = key_text(key);
      if (text.data() == nullptr) return false;
      slot = converted.slots().find(domain, text);
    }

    evaluation::ValueView view;
    PyRef kept;
    const Converted plain = convert_plain_value(value, view);
    if (plain == Converted::Failed) return false;
    if (plain == Converted::NeedsHooks) {
      // The hooks can drop this entry and any string stored so far.
      held.protect();
      kept = PyRef::borrow(value);
      if (!convert_hooked_value(value, view)) return false;
      hook_ran = true;
      any_hook_ran = true;
    }
    if (slot != compiler::kNoSlot) {
      converted.set_slot(slot, view);
      if (view.kind == evaluation::ValueKind::String) {
        held.note(value);
        // The dictionary may no longer hold it: only `kept` does.
        if (kept) held.protect();
      }
    }
  }
}

}  // namespace

HeldTexts::~HeldTexts() {
  for (std::size_t i = 0; i < protected_; ++i) Py_DECREF(texts_[i]);
}

void HeldTexts::grow() {
  auto larger = std::make_unique<PyObject*[]>(2 * capacity_);
  std::copy(texts_, texts_ + count_, larger.get());
  heap_texts_ = std::move(larger);
  texts_ = heap_texts_.get();
  capacity_ *= 2;
}

bool create_conversion_keys() {
  for (documents::Domain domain :
       {documents::Domain::Action, documents::Domain::Actor, documents::Domain::Snapshot}) {
    domain_keys[static_cast<int>(domain)] = interned_text(documents::spelling(domain));
    if (domain_keys[static_cast<int>(domain)] == nullptr) return false;
  }
  for (documents::Effect effect :
       {documents::Effect::Allow, documents::Effect::Block, documents::Effect::RequireApproval}) {
    effect_texts[static_cast<int>(effect)] = interned_text(documents::spelling(effect));
    if (effect_texts[static_cast<int>(effect)] == nullptr) return false;
  }
  effect_key = interned_text("effect");
  matched_rule_key = interned_text("matched_rule");
  return effect_key != nullptr && matched_rule_key != nullptr;
}

bool convert_input(PyObject* input, const FieldKeys& keys, evaluation::EvaluationInput& converted,
                   HeldTexts& held) {
  for (documents::Domain domain :
       {documents::Domain::Action, documents::Domain::Actor, documents::Domain::Snapshot}) {
    // A key of the input whose hash collides can run its __eq__ in the lookup.
    if (domain != documents::Domain::Action) held.protect();
    // The dictionary's own lookup: a subclass's __getitem__ or __missing__ is
    // deliberately bypassed, so a defaulting mapping still lacks the key.
    PyRef map =
        PyRef::borrow(PyDict_GetItemWithError(input, domain_keys[static_cast<int>(domain)]));
    if (!map) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    if (!convert_map(map.get(), domain, keys, converted, held)) return false;
  }
  return true;
}

bool convert_value(PyObject* value, evaluation::ValueView& view) {
  const Converted plain = convert_plain_value(value, view);
  if (plain == Converted::NeedsHooks) return convert_hooked_value(value, view);
  return plain == Converted::Done;
}

PyObject* build_result(documents::Effect effect, PyObject* rule_text) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (PyDict_SetItem(dict.get(), effect_key, effect_texts[static_cast<int>(effect)]) < 0 ||
      PyDict_SetItem(dict.get(), matched_rule_key, rule_text) < 0) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace kavro::binding
