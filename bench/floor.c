/* The floor for evaluate: the least that any evaluate call has to do through
 * the stable ABI. It takes the same input dictionary, walks its three maps,
 * reads each key's UTF-8 and each value's type, and returns a new two-entry
 * result dictionary. It decides nothing; the benchmark reports evaluate as a
 * multiple of this call. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* domain_keys[3];
static PyObject* effect_key;
static PyObject* matched_rule_key;
static PyObject* allow_text;

/* Kept in the object so that the walk cannot be optimised away. */
typedef struct {
  PyObject_HEAD size_t checksum;
} FloorObject;

static int walk_map(FloorObject* self, PyObject* map) {
  if (!PyDict_Check(map)) {
    PyErr_SetString(PyExc_TypeError, "map is not a dict");
    return -1;
  }
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(map, &position, &key, &value)) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == NULL) return -1;
    size_t kind = PyBool_Check(value)      ? 1
                  : PyFloat_Check(value)   ? 2
                  : PyLong_Check(value)    ? 3
                  : PyUnicode_Check(value) ? 4
                                           : 5;
    self->checksum += (size_t)length + (unsigned char)text[0] + kind;
  }
  return 0;
}

static PyObject* floor_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  if (nargs != 1 || (kwnames != NULL && PyTuple_Size(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "evaluate() takes one positional argument");
    return NULL;
  }
  PyObject* input = args[0];
  if (!PyDict_Check(input)) {
    PyErr_SetString(PyExc_TypeError, "input is not a dict");
    return NULL;
  }
  for (int i = 0; i < 3; ++i) {
    PyObject* map = PyDict_GetItemWithError(input, domain_keys[i]);
    if (map == NULL) {
      if (PyErr_Occurred()) return NULL;
      continue;
    }
    if (walk_map((FloorObject*)self, map) < 0) return NULL;
  }
  PyObject* result = PyDict_New();
  if (result == NULL) return NULL;
  if (PyDict_SetItem(result, effect_key, allow_text) < 0 ||
      PyDict_SetItem(result, matched_rule_key, Py_None) < 0) {
    Py_DECREF(result);
    return NULL;
  }
  return result;
}

static PyObject* floor_checksum(PyObject* self, PyObject* unused) {
  (void)unused;
  return PyLong_FromSize_t(((FloorObject*)self)->checksum);
}

static void floor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  freefunc free_slot = (freefunc)PyType_GetSlot(type, Py_tp_free);
  free_slot(self);
  Py_DECREF(type);
}

static PyMethodDef floor_methods[] = {
    {"evaluate", (PyCFunction)(void (*)(void))floor_evaluate, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"checksum", floor_checksum, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_dealloc, floor_dealloc},
    {0, NULL},
};

static PyType_Spec floor_spec = {"kavro_floor.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT,
                                 floor_slots};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "kavro_floor", NULL, 0, NULL, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_kavro_floor(void) {
  const char* names[3] = {"action", "actor", "snapshot"};
  for (int i = 0; i < 3; ++i) {
    domain_keys[i] = PyUnicode_InternFromString(names[i]);
    if (domain_keys[i] == NULL) return NULL;
  }
  effect_key = PyUnicode_InternFromString("effect");
  matched_rule_key = PyUnicode_InternFromString("matched_rule");
  allow_text = PyUnicode_InternFromString("allow");
  if (effect_key == NULL || matched_rule_key == NULL || allow_text == NULL) return NULL;

  PyObject* module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  PyObject* type = PyType_FromSpec(&floor_spec);
  if (type == NULL || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
