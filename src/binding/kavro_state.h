// The layout of a PyKavro instance, shared by the files that implement its
// methods: the object header, then the state, constructed in place once the
// interpreter has allocated the object.
#pragma once

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/field_keys.h"
#include "binding/py_ref.h"
#include "binding/python_api.h"
#include "binding/rule_id_texts.h"
#include "engine/policy.h"

namespace kavro::binding {

// The texts an instance was built from, as UTF-8 bytes, kept so that an
// engine can be pickled (rebuilt from them where it is unpickled).
struct SourceTexts {
  std::string schema;
  std::string policy;
  std::string governance;
  bool has_governance = false;
};

// What an instance holds: the policy, the Python objects derived from it once
// for evaluate, and its source texts. All are only read after construction.
struct KavroState {
  KavroState(engine::Policy&& built, SourceTexts&& texts) noexcept
      : policy(std::move(built)), sources(std::move(texts)) {}

  engine::Policy policy;
  FieldKeys field_keys;
  RuleIdTexts rule_texts;
  SourceTexts sources;
  // One result dict per rule that can decide, by the rule's number, and one
  // for no rule (last), each made on first use and copied for every result
  // (see decision_result). Filled under the interpreter lock.
  mutable std::vector<PyRef> result_templates;
};

// The type stays mutable (tests patch its methods), so Python code can replace
// `__new__` and make an instance that skipped construction; the allocator
// zero-fills it, so `constructed` tells.
struct KavroObject {
  PyObject header;
  bool constructed;
  alignas(KavroState) unsigned char state_storage[sizeof(KavroState)];
};

inline bool is_constructed(PyObject* self) {
  return reinterpret_cast<KavroObject*>(self)->constructed;
}

// Every method that reads the state asks first.
inline bool ensure_constructed(PyObject* self) {
  if (is_constructed(self)) return true;
  PyErr_SetString(PyExc_TypeError, "PyKavro object is not initialised");
  return false;
}

inline KavroState& state_of(PyObject* self) {
  return *std::launder(
      reinterpret_cast<KavroState*>(reinterpret_cast<KavroObject*>(self)->state_storage));
}

}  // namespace kavro::binding
