// NumPy's C API for the engine's translation units. The build defines
// PY_ARRAY_UNIQUE_SYMBOL and NO_IMPORT_ARRAY for the whole module (NumPy
// headers may be reached through other headers first); module.cpp owns and
// imports the API table.
#pragma once

#include <numpy/ndarrayobject.h>
