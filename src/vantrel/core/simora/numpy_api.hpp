// NumPy's C API for the engine's translation units; module.cpp imports it.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL vantrel_simora_ARRAY_API
#ifndef SIMORA_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/ndarrayobject.h>
