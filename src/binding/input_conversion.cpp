#include "binding/input_conversion.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "binding/errors.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

// Interned once per process and never released (see errors.cpp).
std::array<PyObject*, engine::kDomainCount> domain_keys = {};
std::array<Py_hash_t, engine::kDomainCount> domain_hashes = {};
PyObject* effect_key = nullptr;
PyObject* matched_rule_key = nullptr;
// The three effect texts, shared by every result: a str is immutable, so a
// result cannot tell a shared one from a fresh one, and it saves building one
// per call.
std::array<PyObject*, engine::values_of<engine::Effect>().size()> effect_texts = {};

void raise_unsupported_value() {
  PyErr_SetString(PyExc_TypeError, "Unsupported value type");
}

// Names the refused value on the pending "Unsupported value type": `field`
// ("snapshot.amount") and `found` ("null", else the value's type name), so
// that no caller searches the request again. A str is refused for its
// encoding, not its kind, and is not named.
void name_refused_value(engine::Domain domain, PyObject* key, PyObject* value) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyUnicode_Check(value)) return;
  PyObject* type = nullptr;
  PyObject* error = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &error, &traceback);
  PyErr_NormalizeException(&type, &error, &traceback);
  if (error != nullptr) {
    const std::string part(engine::spelling(domain));
    PyRef field = PyRef::steal(PyUnicode_FromFormat("%s.%U", part.c_str(), key));
    PyRef found = PyRef::steal(
        value == Py_None
            ? PyUnicode_FromString("null")
            : PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!field || !found || PyObject_SetAttrString(error, "field", field.get()) < 0 ||
        PyObject_SetAttrString(error, "found", found.get()) < 0) {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, error, traceback);
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
Converted convert_plain_value(PyObject* value, engine::ValueView& view) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) {
    view = engine::ValueView::of_boolean(value == Py_True);
  } else if (type == &PyUnicode_Type) {
    std::string_view text;
    if (!text_value(value, text)) {
      raise_unsupported_value();
      return Converted::Failed;
    }
    view = engine::ValueView::of_string(text);
  } else if (type == &PyFloat_Type) {
    view = engine::ValueView::of_number(PyFloat_AsDouble(value));
  } else if (type == &PyLong_Type) {
    // Directly to double: the float conversion would build and drop a float
    // object to reach the same double (or the same overflow).
    const double number = PyLong_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      raise_unsupported_value();
      return Converted::Failed;
    }
    view = engine::ValueView::of_number(number);
  } else {
    return Converted::NeedsHooks;
  }
  return Converted::Done;
}

// Every other value, in order: a numpy boolean, float conversion, a str
// subclass. Reading type attributes and calling __bool__, __float__ or
// __index__ can run the value's own Python code.
bool convert_value_with_hooks(PyObject* value, engine::ValueView& view) {
  bool truth = false;
  if (numpy_bool_value(value, truth)) {
    view = engine::ValueView::of_boolean(truth);
    return true;
  }
  double number = 0.0;
  if (number_value(value, number)) {
    view = engine::ValueView::of_number(number);
    return true;
  }
  std::string_view text;
  if (PyUnicode_Check(value) && text_value(value, text)) {
    view = engine::ValueView::of_string(text);
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

bool convert_hooked_value(PyObject* value, engine::ValueView& view) {
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

// A TypeError from converting the request gets a note naming where in the
// request it arose ("at action.amount", "at a key of actor", "at action"):
// the message itself stays exactly as evaluate has always raised it. Returns
// false, for the caller to return.
bool note_place(engine::Domain domain, PyObject* key) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const char* part = engine::spelling(domain).data();
  PyRef note = PyRef::steal(key == nullptr         ? PyUnicode_FromFormat("at %s", part)
                            : PyUnicode_Check(key) ? PyUnicode_FromFormat("at %s.%U", part, key)
                                                   : PyUnicode_FromFormat("at a key of %s", part));
  // Notes exist from Python 3.11; before, the exception goes as it is.
  if (note && value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    PyRef added = PyRef::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return false;
}

// Sets `hook_ran` when a value's hook ran: Python code that may have changed
// the input itself.
bool convert_map(PyObject* map, engine::Domain domain, const FieldKeys& keys, ConvertedRow row,
                 HeldTexts& held, bool& hook_ran, PartsWriter* line) {
  // Exact types first: in the limited API the subclass tests are calls.
  if (Py_TYPE(map) != &PyDict_Type && !PyDict_Check(map)) {
    raise_cannot_convert(map, "PyDict");
    return note_place(domain, nullptr);
  }
  // Only a value's hook can change the dictionary; until one is about to
  // run, nothing can, so its size is asked for only then.
  Py_ssize_t start_size = -1;
  Py_ssize_t position = 0;
  Py_ssize_t produced = 0;
  bool hook_just_ran = false;
  // Where values of fields the policy never reads are converted (and checked).
  engine::ValueView unread;
  if (line != nullptr) line->open_part(domain);
  for (;;) {
    // A hook that mutates the dictionary under us would make us read a
    // moving target, so this is treated as a broken invariant.
    if (hook_just_ran && PyDict_Size(map) != start_size) {
      raise_internal_failure("dictionary changed size during iteration");
      return false;
    }
    hook_just_ran = false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(map, &position, &key, &value)) {
      // A hook may have detached this map from the input: the caller's
      // reference may be the last one to the strings noted since.
      if (hook_ran) held.protect();
      if (line != nullptr) line->close_part();
      return true;
    }
    ++produced;
    if (start_size >= 0 && produced > start_size) {
      raise_internal_failure("dictionary keys changed during iteration");
      return false;
    }

    if (Py_TYPE(key) != &PyUnicode_Type && !PyUnicode_Check(key)) {
      // Reading the type's name can run code that drops the entry.
      PyRef kept = PyRef::borrow(key);
      raise_cannot_convert(kept.get(), "PyString");
      return note_place(domain, kept.get());
    }
    std::uint32_t slot = engine::kNoSlot;
    if (Py_TYPE(key) == &PyUnicode_Type) {
      slot = keys.find(domain, key);
      if (slot == FieldKeys::kFailed) return false;
    } else {
      const std::string_view text = key_text(key);
      if (text.data() == nullptr) return false;
      slot = row.slots.find(domain, text);
    }

    // Straight into its slot: a failed conversion fails the whole input.
    engine::ValueView& view = slot == engine::kNoSlot ? unread : row.values[slot];
    PyRef kept;
    PyRef kept_key;
    const Converted plain = convert_plain_value(value, view);
    if (plain == Converted::Failed) {
      name_refused_value(domain, key, value);
      return note_place(domain, key);
    }
    if (plain == Converted::NeedsHooks) {
      if (start_size < 0) start_size = PyDict_Size(map);
      // The hooks can drop this entry and any string stored so far.
      held.protect();
      kept = PyRef::borrow(value);
      kept_key = PyRef::borrow(key);
      if (!convert_hooked_value(value, view)) {
        name_refused_value(domain, kept_key.get(), value);
        return note_place(domain, kept_key.get());
      }
      hook_just_ran = true;
      hook_ran = true;
    }
    if (line != nullptr && !line->entry(domain, kept_key ? kept_key.get() : key, value, view)) {
      return false;
    }
    if (slot != engine::kNoSlot && view.kind == engine::ValueKind::String) {
      held.note(value);
      // The dictionary may no longer hold it: only `kept` does.
      if (kept) held.protect();
    }
  }
}

// The domain whose interned name is `key` itself, or -1.
int domain_of_name(PyObject* key) {
  for (int domain = 0; domain < engine::kDomainCount; ++domain) {
    if (key == domain_keys[domain]) return domain;
  }
  return -1;
}

// The domain named by `key`, an exact str; -1 when it names none. Comparing
// two exact str objects runs no Python code.
int domain_of_text(PyObject* key) {
  const Py_hash_t hash = PyObject_Hash(key);
  for (int domain = 0; domain < engine::kDomainCount; ++domain) {
    if (hash == domain_hashes[domain] && PyUnicode_Compare(key, domain_keys[domain]) == 0) {
      return domain;
    }
  }
  return -1;
}

// The three maps of `input` by one walk over its entries, which costs less
// than three lookups. Only when every key is an exact str: then no lookup
// could have run a key's __eq__, and the walk finds what the lookups would.
// Returns false, with nothing pending, when some key is not one.
bool walk_domains(PyObject* input, std::array<PyObject*, engine::kDomainCount>& maps) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(input, &position, &key, &value)) {
    int domain = domain_of_name(key);
    if (domain < 0) {
      if (Py_TYPE(key) != &PyUnicode_Type) return false;
      domain = domain_of_text(key);
      if (domain < 0) continue;
    }
    maps[domain] = value;
  }
  return true;
}

}  // namespace

HeldTexts::~HeldTexts() {
  clear();
}

void HeldTexts::clear() {
  for (std::size_t i = 0; i < protected_; ++i) Py_DECREF(texts_[i]);
  count_ = 0;
  protected_ = 0;
}

void HeldTexts::grow() {
  auto larger = std::make_unique<PyObject*[]>(2 * capacity_);
  std::copy(texts_, texts_ + count_, larger.get());
  heap_texts_ = std::move(larger);
  texts_ = heap_texts_.get();
  capacity_ *= 2;
}

bool create_conversion_keys() {
  for (engine::Domain domain : engine::values_of<engine::Domain>()) {
    domain_keys[static_cast<int>(domain)] = interned_text(engine::spelling(domain));
    if (domain_keys[static_cast<int>(domain)] == nullptr) return false;
    domain_hashes[static_cast<int>(domain)] = PyObject_Hash(domain_keys[static_cast<int>(domain)]);
  }
  for (engine::Effect effect : engine::values_of<engine::Effect>()) {
    effect_texts[static_cast<int>(effect)] = interned_text(engine::spelling(effect));
    if (effect_texts[static_cast<int>(effect)] == nullptr) return false;
  }
  effect_key = interned_text("effect");
  matched_rule_key = interned_text("matched_rule");
  return effect_key != nullptr && matched_rule_key != nullptr;
}

bool convert_input(PyObject* input, const FieldKeys& keys, ConvertedRow row, HeldTexts& held,
                   PartsWriter* line) {
  std::array<PyObject*, engine::kDomainCount> walked = {};
  bool walk_holds = walk_domains(input, walked);
  for (engine::Domain domain : engine::values_of<engine::Domain>()) {
    PyRef map;
    if (walk_holds) {
      map = PyRef::borrow(walked[static_cast<int>(domain)]);
    } else {
      // A key of the input whose hash collides can run its __eq__ in the lookup.
      if (domain != engine::Domain::Action) held.protect();
      // The dictionary's own lookup: a subclass's __getitem__ or __missing__ is
      // deliberately bypassed, so a defaulting mapping still lacks the key.
      map = PyRef::borrow(PyDict_GetItemWithError(input, domain_keys[static_cast<int>(domain)]));
      if (!map && PyErr_Occurred()) return false;
    }
    if (!map) continue;
    bool hook_ran = false;
    if (!convert_map(map.get(), domain, keys, row, held, hook_ran, line)) return false;
    // A hook may have changed the input: the maps still to come are looked up.
    if (hook_ran) walk_holds = false;
  }
  return true;
}

bool convert_value(PyObject* value, engine::ValueView& view) {
  const Converted plain = convert_plain_value(value, view);
  if (plain == Converted::NeedsHooks) return convert_hooked_value(value, view);
  return plain == Converted::Done;
}

bool convert_plain(PyObject* value, engine::ValueView& view) {
  switch (convert_plain_value(value, view)) {
    case Converted::Done:
      return true;
    case Converted::Failed:
      PyErr_Clear();
      return false;
    case Converted::NeedsHooks:
      return false;
  }
  return false;
}

PyObject* domain_key(engine::Domain domain) {
  return domain_keys[static_cast<int>(domain)];
}

PyObject* build_result(engine::Effect effect, PyObject* rule_text) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (PyDict_SetItem(dict.get(), effect_key, effect_texts[static_cast<int>(effect)]) < 0 ||
      PyDict_SetItem(dict.get(), matched_rule_key, rule_text) < 0) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace kavro::binding
