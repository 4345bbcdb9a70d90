// vantrel.core.kessin: str_to_bytearray turns a text into one byte per
// character (the low 8 bits of each code point).
#include "pyref.hpp"

namespace {

using vantrel::Ref;

PyObject* str_to_bytearray(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"text", nullptr};
    PyObject* text = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:str_to_bytearray", const_cast<char**>(keywords),
                                     &text)) {
        return nullptr;
    }
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        return nullptr;
    }
    if (!PyUnicode_CheckExact(text)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "text", PyUnicode_Type.tp_name, Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref out = Ref::steal_or_null(PyByteArray_FromStringAndSize(nullptr, n));
    if (!out) return nullptr;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    char* bytes = PyByteArray_AS_STRING(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(PyUnicode_READ(kind, data, i) & 0xFFu);
    }
    return out.release();
}

PyMethodDef methods[] = {
    {"str_to_bytearray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(str_to_bytearray)),
     METH_VARARGS | METH_KEYWORDS,
     "str_to_bytearray(text)\n--\n\nReturn a new bytearray holding the low 8 bits of each "
     "character's code point."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kessin",
    "Text utility: convert a text into a byte array.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kessin() { return PyModuleDef_Init(&module_def); }
