// The native interface of vantrel.core.exvalo, shared by the exporting module
// and every consumer (the engine, the test-support module). The capsule names
// are the signature strings below, compared byte for byte by consumers: the
// blank before the comma after std::map<int,int> and the two blanks before
// '&' are part of the contract.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#include <numpy/ndarraytypes.h>

#include <map>

namespace vantrel::exvalo_api {

// Errors are reported by leaving a Python exception set (the void functions)
// or by returning NULL (end_analysis). No C++ exception crosses a pointer.
using StartAnalysisFn = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double, int,
                                 int) noexcept;
using RecordDateFn = void (*)(int) noexcept;
using RecordEntryFn = void (*)(int, double, int) noexcept;
using RecordExitFn = void (*)(int, int) noexcept;
using EndAnalysisFn = PyObject* (*)(std::map<int, double>&) noexcept;

inline constexpr const char kModuleName[] = "vantrel.core.exvalo";
inline constexpr const char kCapiAttribute[] = "__pyx_capi__";

inline constexpr const char kArraySignature[] = "PyArrayObject *";
inline constexpr const char kStartAnalysisSignature[] =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char kRecordDateSignature[] = "void (int)";
inline constexpr const char kRecordEntrySignature[] = "void (int, double, int)";
inline constexpr const char kRecordExitSignature[] = "void (int, int)";
inline constexpr const char kEndAnalysisSignature[] = "PyObject *(std::map<int,double>  &)";

}  // namespace vantrel::exvalo_api
