// NumPy's native array interface for the translation units of exvalo. The
// build defines PY_ARRAY_UNIQUE_SYMBOL and NO_IMPORT_ARRAY for the whole
// module (NumPy headers may be reached through other headers first); the
// module frame owns and imports the API table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <numpy/arrayobject.h>
