#include "normalize_weight.hpp"

#include "argument_binding.hpp"

namespace vantrel::simora {

using binding::bind_arguments;

PyObject* normalize_weight(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"weights", "position_limit"};
    try {
        PyObject* v[2];
        bind_arguments("normalize_weight", args, kwargs, names, 2, 2, v);
        PyObject* weights = v[0];
        PyObject* limit = v[1];

        Ref items = Ref::steal(PyObject_CallMethod(weights, "items", nullptr));
        Ref weight_sum = Ref::steal(PyFloat_FromDouble(0.0));
        {
            Ref it = Ref::steal(PyObject_GetIter(items.get()));
            while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
                Ref w = Ref::steal(PySequence_GetItem(item.get(), 1));
                Ref magnitude = Ref::steal(PyNumber_Absolute(w.get()));
                weight_sum = Ref::steal(PyNumber_InPlaceAdd(weight_sum.get(), magnitude.get()));
            }
            check_pending();
        }
        Ref keys = Ref::steal(PySequence_List(weights));
        Ref one = Ref::steal(PyLong_FromLong(1));
        const Py_ssize_t n = PyList_GET_SIZE(keys.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (check_status(PyObject_RichCompareBool(weight_sum.get(), one.get(), Py_GT))) {
                PyObject* key = PyList_GET_ITEM(keys.get(), i);
                Ref w = Ref::steal(PyObject_GetItem(weights, key));
                Ref reciprocal = Ref::steal(PyNumber_TrueDivide(one.get(), weight_sum.get()));
                Ref scaled = Ref::steal(PyNumber_Multiply(w.get(), reciprocal.get()));
                check_status(PyObject_SetItem(weights, key, scaled.get()));
            }
        }
        Ref negative_limit = Ref::steal(PyNumber_Negative(limit));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            Ref w = Ref::steal(PyObject_GetItem(weights, key));
            if (check_status(PyObject_RichCompareBool(w.get(), limit, Py_GT))) {
                check_status(PyObject_SetItem(weights, key, limit));
            } else if (check_status(PyObject_RichCompareBool(w.get(), negative_limit.get(), Py_LT))) {
                check_status(PyObject_SetItem(weights, key, negative_limit.get()));
            }
        }
        return Py_NewRef(weights);
    } catch (const PyErrorSet&) {
        return nullptr;
    }
}

}  // namespace vantrel::simora
