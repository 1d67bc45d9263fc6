#include "binding/input_conversion.h"

#include <array>
#include <string_view>

#include "binding/errors.h"
#include "binding/py_ref.h"
#include "compiler/enums.h"

namespace kavro::binding {

namespace {

// Interned once per process and never released (see errors.cpp).
std::array<PyObject*, kDomainCount> domain_keys = {};
PyObject* effect_key = nullptr;
PyObject* matched_rule_key = nullptr;

void raise_unsupported_value() {
  PyErr_SetString(PyExc_TypeError, "Unsupported value type");
}

// The UTF-8 of a str, or null with the encoding error pending.
const char* utf8_of(PyObject* text, Py_ssize_t& size) {
  return PyUnicode_AsUTF8AndSize(text, &size);
}

bool has_ascii_name(PyObject* type, const char* attribute, const char* expected) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, attribute));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), expected) == 0;
}

// The boolean of a value whose type calls itself "numpy.bool_", through the
// type's own __bool__ (its array scalars are not bool but convert like one).
// Returns false, with no exception pending, when the step does not apply.
bool numpy_bool_value(PyObject* value, bool& truth) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  if (!has_ascii_name(type, "__module__", "numpy") || !has_ascii_name(type, "__name__", "bool_")) {
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
  // An exact int converts directly: the float conversion would build and
  // drop a float object to reach the same double (or the same OverflowError).
  number = Py_TYPE(value) == &PyLong_Type ? PyLong_AsDouble(value) : PyFloat_AsDouble(value);
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

// Tries, in order: exact bool, a "numpy.bool_", float conversion, str. Exact
// str, float and int take shortcuts that reach the same result: none of them
// is named "numpy.bool_", and float conversion always fails for an exact str.
bool convert_value(PyObject* value, ValueView& view) {
  PyTypeObject* type = Py_TYPE(value);
  double number = 0.0;
  std::string_view text;
  if (type == &PyBool_Type) {
    view = ValueView::of_boolean(value == Py_True);
    return true;
  }
  if (type == &PyUnicode_Type) {
    if (!text_value(value, text)) {
      raise_unsupported_value();
      return false;
    }
    view = ValueView::of_string(text);
    return true;
  }
  if (type != &PyFloat_Type && type != &PyLong_Type) {
    bool truth = false;
    if (numpy_bool_value(value, truth)) {
      view = ValueView::of_boolean(truth);
      return true;
    }
  }
  if (number_value(value, number)) {
    view = ValueView::of_number(number);
    return true;
  }
  if (PyUnicode_Check(value) && text_value(value, text)) {
    view = ValueView::of_string(text);
    return true;
  }
  raise_unsupported_value();
  return false;
}

bool convert_map(PyObject* map, Domain domain, EvaluationInput& converted, HeldTexts& held) {
  // Exact types first: in the limited API the subclass tests are calls.
  if (Py_TYPE(map) != &PyDict_Type && !PyDict_Check(map)) {
    raise_cannot_convert(map, "PyDict");
    return false;
  }
  const Py_ssize_t start_size = PyDict_Size(map);
  Py_ssize_t position = 0;
  Py_ssize_t produced = 0;
  for (;;) {
    // A value's hook can mutate the dictionary under us; iterating on would
    // read a moving target, so this is treated as a broken invariant.
    if (PyDict_Size(map) != start_size) {
      raise_internal_failure("dictionary changed size during iteration");
      return false;
    }
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    if (!PyDict_Next(map, &position, &borrowed_key, &borrowed_value)) return true;
    if (++produced > start_size) {
      raise_internal_failure("dictionary keys changed during iteration");
      return false;
    }
    // The hooks can also drop the entry; keep both alive while converting it.
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef value = PyRef::borrow(borrowed_value);

    if (Py_TYPE(key.get()) != &PyUnicode_Type && !PyUnicode_Check(key.get())) {
      raise_cannot_convert(key.get(), "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* name = utf8_of(key.get(), size);
    if (name == nullptr) return false;
    const std::uint32_t slot =
        converted.slots().find(domain, std::string_view(name, static_cast<std::size_t>(size)));

    ValueView view;
    if (!convert_value(value.get(), view)) return false;
    if (slot != kNoSlot) {
      converted.set_slot(slot, view);
      held.hold(slot, view.kind == ValueKind::String ? value.get() : nullptr);
    }
  }
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

HeldTexts::HeldTexts(std::uint32_t slot_count) : count_(slot_count), held_(inline_held_) {
  if (slot_count > kInlineSlots) {
    heap_held_ = std::make_unique<PyObject*[]>(slot_count);
    held_ = heap_held_.get();
  }
}

HeldTexts::~HeldTexts() {
  for (std::uint32_t slot = 0; slot < count_; ++slot) Py_XDECREF(held_[slot]);
}

void HeldTexts::hold(std::uint32_t slot, PyObject* text) {
  Py_XINCREF(text);
  PyObject* old = held_[slot];
  held_[slot] = text;
  Py_XDECREF(old);
}

bool create_conversion_keys() {
  for (Domain domain : {Domain::Action, Domain::Actor, Domain::Snapshot}) {
    const std::string_view key = spelling(domain);
    PyObject* interned =
        PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
    if (interned == nullptr) return false;
    PyUnicode_InternInPlace(&interned);
    domain_keys[static_cast<int>(domain)] = interned;
  }
  effect_key = PyUnicode_InternFromString("effect");
  matched_rule_key = PyUnicode_InternFromString("matched_rule");
  return effect_key != nullptr && matched_rule_key != nullptr;
}

bool convert_input(PyObject* input, EvaluationInput& converted, HeldTexts& held) {
  for (Domain domain : {Domain::Action, Domain::Actor, Domain::Snapshot}) {
    // The dictionary's own lookup: a subclass's __getitem__ or __missing__ is
    // deliberately bypassed, so a defaulting mapping still lacks the key.
    PyRef map =
        PyRef::borrow(PyDict_GetItemWithError(input, domain_keys[static_cast<int>(domain)]));
    if (!map) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    if (!convert_map(map.get(), domain, converted, held)) return false;
  }
  return true;
}

PyObject* build_result(const EvaluationResult& result) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef effect = PyRef::steal(new_text(spelling(result.effect)));
  if (!effect || PyDict_SetItem(dict.get(), effect_key, effect.get()) < 0) return nullptr;
  PyRef rule =
      result.matched_rule ? PyRef::steal(new_text(*result.matched_rule)) : PyRef::borrow(Py_None);
  if (!rule || PyDict_SetItem(dict.get(), matched_rule_key, rule.get()) < 0) return nullptr;
  return dict.release();
}

}  // namespace kavro::binding
