// The one include of the Python C API. The module is built for the stable ABI
// of CPython 3.10 and later, so only limited-API declarations are visible.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
