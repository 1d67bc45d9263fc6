#include "binding/rule_id_texts.h"

namespace kavro::binding {

RuleIdTexts::~RuleIdTexts() {
  for (PyObject* text : texts_) Py_XDECREF(text);
}

bool RuleIdTexts::build(const std::vector<engine::RuleEntry>& rules) {
  texts_.reserve(rules.size());
  for (const engine::RuleEntry& rule : rules) {
    PyObject* text =
        PyUnicode_DecodeUTF8(rule.id.data(), static_cast<Py_ssize_t>(rule.id.size()), nullptr);
    if (text == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
      PyErr_Clear();
    }
    texts_.push_back(text);
  }
  return true;
}

}  // namespace kavro::binding
