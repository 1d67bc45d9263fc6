// Converts the argument of evaluate into an EvaluationInput, and a decision
// into the result dictionary.
//
// Every entry of the three maps is validated, but only fields the policy reads
// are stored. Stored text points into the UTF-8 of Python strings; HeldTexts
// keeps those strings alive for the call, because a value's own conversion
// hook can mutate the dictionaries and drop them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "binding/field_keys.h"
#include "binding/python_api.h"
#include "binding/request_json.h"
#include "engine/values.h"

namespace kavro::binding {

// The strings whose text the converted input views. While no Python code
// runs, nothing can drop them, so they are only noted. Before anything that
// can run Python code (a value's hook, a key lookup that may call a key's
// __eq__, releasing a map a hook may have detached), protect() takes a
// reference to each string noted since; those are released when the call ends.
class HeldTexts {
 public:
  HeldTexts() = default;
  HeldTexts(const HeldTexts&) = delete;
  HeldTexts& operator=(const HeldTexts&) = delete;
  ~HeldTexts();

  void note(PyObject* text) {
    if (count_ == capacity_) grow();
    texts_[count_++] = text;
  }
  void protect() {
    for (; protected_ < count_; ++protected_) Py_INCREF(texts_[protected_]);
  }
  // Forgets every string noted, releasing those protected; keeps the room.
  void clear();

 private:
  void grow();

  static constexpr std::size_t kInlineTexts = 16;

  PyObject* inline_texts_[kInlineTexts];
  std::unique_ptr<PyObject*[]> heap_texts_;
  PyObject** texts_ = inline_texts_;
  std::size_t count_ = 0;
  std::size_t capacity_ = kInlineTexts;
  std::size_t protected_ = 0;
};

// Creates the interned key strings; called once per process by module init.
bool create_conversion_keys();

// One request's views, one per slot of `slots`, each absent until converted.
struct ConvertedRow {
  const engine::InputFields& slots;
  engine::ValueView* values;
};

// `input` must be a dict or a dict subclass. Returns false with the exception
// that evaluate raises unchanged.
// `keys` must hold the names of the slots that `row` has.
// With `line`, every entry converted is also written to it as JSON.
bool convert_input(PyObject* input, const FieldKeys& keys, ConvertedRow row, HeldTexts& held,
                   PartsWriter* line = nullptr);

inline bool convert_input(PyObject* input, const FieldKeys& keys, engine::Input& converted,
                          HeldTexts& held, PartsWriter* line = nullptr) {
  return convert_input(input, keys, ConvertedRow{converted.slots(), converted.row()}, held, line);
}

// The view evaluate makes of one value, or false with evaluate's exception.
// Text views the value's own UTF-8.
bool convert_value(PyObject* value, engine::ValueView& view);

// The same view of an exact bool, str, float or int, which runs no Python
// code; false, with nothing pending, for any other value or one evaluate
// refuses.
bool convert_plain(PyObject* value, engine::ValueView& view);

// The interned name of a request's part ("action", ...), borrowed.
PyObject* domain_key(engine::Domain domain);

// A new dict {"effect": ..., "matched_rule": rule_text}, or null with an
// exception set. `rule_text` is a str or None.
PyObject* build_result(engine::Effect effect, PyObject* rule_text);

}  // namespace kavro::binding
