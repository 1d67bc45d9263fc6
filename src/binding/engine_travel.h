// What lets an engine travel: pickling (to its three documents and its policy
// hash, rebuilt and checked where it is loaded), copying (an engine is
// immutable, so a copy is the engine itself) and its repr.
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

PyObject* kavro_reduce(PyObject* self, PyObject*);
// __copy__ and __deepcopy__(memo): the engine itself.
PyObject* kavro_same_engine(PyObject* self, PyObject*);
PyObject* kavro_repr(PyObject* self);

// Adds the module function that unpickling calls; false with an exception set.
bool add_restore_function(PyObject* module);

inline const PyMethodDef kReduceMethod = {"__reduce__", kavro_reduce, METH_NOARGS,
                                          "__reduce__($self)\n--\n\n"
                                          "Pickles the engine as its documents."};
inline const PyMethodDef kCopyMethod = {"__copy__", kavro_same_engine, METH_NOARGS,
                                        "__copy__($self)\n--\n\n"
                                        "The engine itself: it is immutable."};
inline const PyMethodDef kDeepCopyMethod = {"__deepcopy__", kavro_same_engine, METH_O,
                                            "__deepcopy__($self, memo)\n--\n\n"
                                            "The engine itself: it is immutable."};

}  // namespace kavro::binding
