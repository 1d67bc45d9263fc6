#include "binding/request_check_result.h"

#include <string>
#include <string_view>
#include <vector>

#include "binding/input_conversion.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return {};
  return {utf8, static_cast<std::size_t>(size)};
}

// The keys and values viewed below stay alive in `kept` for the call.
struct RequestView {
  std::vector<std::string_view> sections;
  std::vector<engine::RequestEntry> entries;
  std::vector<std::string> type_names;
  std::vector<PyRef> kept;
};

bool read_section(PyObject* map, engine::Domain domain, RequestView& view) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(map, &position, &key, &value)) {
    view.kept.push_back(PyRef::borrow(key));
    view.kept.push_back(PyRef::borrow(value));
    engine::ValueView converted;
    if (!convert_value(value, converted)) return false;
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) return false;
    view.type_names.emplace_back(utf8_view(name.get()));
    const std::string_view field = utf8_view(key);
    if (field.data() == nullptr) return false;
    view.entries.push_back({domain, field, converted.kind, {}, converted.text});
  }
  return true;
}

bool read_request(PyObject* input, RequestView& view) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(input, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    view.kept.push_back(PyRef::borrow(key));
    const std::string_view section = utf8_view(key);
    if (section.data() == nullptr) return false;
    view.sections.push_back(section);
    for (engine::Domain domain : engine::values_of<engine::Domain>()) {
      if (section == engine::spelling(domain) && !read_section(value, domain, view)) return false;
    }
  }
  // Type names are set last: their vector no longer grows.
  for (std::size_t i = 0; i < view.entries.size(); ++i) {
    view.entries[i].type_name = view.type_names[i];
  }
  return true;
}

PyObject* problem_dict(const engine::RequestProblem& problem) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const bool built = set_item(dict.get(), "path", new_text(problem.path)) &&
                     set_item(dict.get(), "kind", new_text(problem.kind)) &&
                     set_item(dict.get(), "message", new_text(problem.message));
  return built ? dict.release() : nullptr;
}

}  // namespace

PyObject* request_problems(const engine::Policy& policy, const FieldKeys& keys, PyObject* input) {
  {
    // Whatever evaluate refuses is refused here, with the same exception.
    engine::Input converted(policy.input_fields());
    HeldTexts held;
    if (!convert_input(input, keys, converted, held)) return nullptr;
  }
  RequestView view;
  if (!read_request(input, view)) return nullptr;
  return problem_list(policy.check_request(view.sections, view.entries));
}

PyObject* problem_list(const std::vector<engine::RequestProblem>& problems) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const engine::RequestProblem& problem : problems) {
    if (!append_item(list.get(), problem_dict(problem))) return nullptr;
  }
  return list.release();
}

}  // namespace kavro::binding
