// NumPy's native array interface for the translation units of exvalo: the
// module frame imports it once (EXVALO_IMPORTS_NUMPY), the others share it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vantrel_exvalo_ARRAY_API
#ifndef EXVALO_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
