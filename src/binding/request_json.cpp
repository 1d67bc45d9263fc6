#include "binding/request_json.h"

#include <algorithm>

#include "binding/input_conversion.h"
#include "binding/py_ref.h"
#include "support/json_text.h"

namespace kavro::binding {

namespace {

constexpr std::string_view kMasked = "<masked>";

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return {};
  return {utf8, static_cast<std::size_t>(size)};
}

void append_view(std::string& out, const engine::ValueView& view) {
  switch (view.kind) {
    case engine::ValueKind::String:
      append_json_text(out, view.text);
      return;
    case engine::ValueKind::Number:
      append_json_float(out, view.number);
      return;
    case engine::ValueKind::Boolean:
      out += view.boolean ? "true" : "false";
      return;
    case engine::ValueKind::Absent:
      out += "null";
      return;
  }
}

// An exact int as its digits: one beyond 64 bits through its own str.
Rendering append_integer(std::string& out, PyObject* value) {
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (number == -1 && PyErr_Occurred()) return Rendering::Failed;
    append_json_integer(out, number);
    return Rendering::Written;
  }
  // Too many digits for str() is the caller's encoder's refusal to make.
  PyRef digits = PyRef::steal(PyObject_Str(value));
  const std::string_view text = digits ? utf8_view(digits.get()) : std::string_view();
  if (text.data() == nullptr) {
    PyErr_Clear();
    return Rendering::Unwritten;
  }
  out += text;
  return Rendering::Written;
}

Rendering append_value(std::string& out, PyObject* value, bool decided) {
  PyTypeObject* type = Py_TYPE(value);
  if (value == Py_None) {
    out += "null";
    return Rendering::Written;
  }
  if (type == &PyLong_Type) return append_integer(out, value);
  engine::ValueView view;
  if (convert_plain(value, view)) {
    append_view(out, view);
    return Rendering::Written;
  }
  if (!decided) return Rendering::Unwritten;
  // Its hooks may run Python code that drops the value from its map.
  const PyRef kept = PyRef::borrow(value);
  if (!convert_value(kept.get(), view)) {
    PyErr_Clear();
    return Rendering::Unwritten;
  }
  append_view(out, view);
  return Rendering::Written;
}

bool is_masked(const std::vector<std::string>& fields, std::string_view field) {
  return std::find(fields.begin(), fields.end(), field) != fields.end();
}

Rendering append_part(std::string& out, engine::Domain domain, PyObject* map,
                      const std::vector<std::string>& masked_fields, bool decided,
                      std::vector<std::string>& masked) {
  if (!PyDict_Check(map)) return Rendering::Unwritten;
  out += ',';
  append_json_text(out, engine::spelling(domain));
  out += ":{";
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  bool first = true;
  while (PyDict_Next(map, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return Rendering::Unwritten;
    const PyRef kept_key = PyRef::borrow(key);
    const std::string_view field = utf8_view(key);
    if (field.data() == nullptr) {
      PyErr_Clear();
      return Rendering::Unwritten;
    }
    if (!first) out += ',';
    first = false;
    append_json_text(out, field);
    out += ':';
    if (!masked_fields.empty() && is_masked(masked_fields, field)) {
      append_json_text(out, kMasked);
      masked.push_back(std::string(engine::spelling(domain)) + "." + std::string(field));
      continue;
    }
    const Rendering value_rendering = append_value(out, value, decided);
    if (value_rendering != Rendering::Written) return value_rendering;
  }
  out += '}';
  return Rendering::Written;
}

}  // namespace

void PartsWriter::open_part(engine::Domain domain) {
  out_ += ',';
  append_json_text(out_, engine::spelling(domain));
  out_ += ":{";
  first_ = true;
}

bool PartsWriter::entry(engine::Domain domain, PyObject* key, PyObject* value,
                        const engine::ValueView& converted) {
  const std::string_view field = utf8_view(key);
  if (field.data() == nullptr) return false;
  if (!first_) out_ += ',';
  first_ = false;
  append_json_text(out_, field);
  out_ += ':';
  const std::vector<std::string>& masked_fields = mask_[static_cast<int>(domain)];
  if (!masked_fields.empty() && is_masked(masked_fields, field)) {
    append_json_text(out_, kMasked);
    masked_.push_back(std::string(engine::spelling(domain)) + "." + std::string(field));
    return true;
  }
  if (Py_TYPE(value) == &PyLong_Type) {
    switch (append_integer(out_, value)) {
      case Rendering::Written:
        return true;
      case Rendering::Unwritten:
        break;  // digits beyond str()'s limit: the number decided on
      case Rendering::Failed:
        return false;
    }
  }
  append_view(out_, converted);
  return true;
}

Rendering append_request_parts(PyObject* request, const FieldMask& mask, bool decided,
                               std::string& out, std::vector<std::string>& masked) {
  if (!PyDict_Check(request)) return Rendering::Unwritten;
  const std::size_t masked_start = masked.size();
  // A hook may drop a map from the request while it is being written.
  const PyRef kept_request = PyRef::borrow(request);
  Rendering rendering = Rendering::Written;
  for (engine::Domain domain : engine::values_of<engine::Domain>()) {
    // The dictionary's own lookup, as evaluate reads the request.
    const PyRef map = PyRef::borrow(PyDict_GetItemWithError(request, domain_key(domain)));
    if (!map) {
      if (PyErr_Occurred()) {
        rendering = Rendering::Failed;
        break;
      }
      continue;
    }
    rendering =
        append_part(out, domain, map.get(), mask[static_cast<int>(domain)], decided, masked);
    if (rendering != Rendering::Written) break;
  }
  if (rendering != Rendering::Written) masked.resize(masked_start);
  return rendering;
}

}  // namespace kavro::binding
