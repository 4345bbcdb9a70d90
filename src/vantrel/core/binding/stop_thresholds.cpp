#include "stop_thresholds.hpp"

namespace vantrel::binding {

namespace {

GlobalName stop_table_class_name("StopTable");
GlobalName stop_table_name("stop_table");

Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

Ref shape_dim(PyObject* array, Py_ssize_t axis) {
    Ref shape = attr(array, "shape");
    return Ref::steal(PySequence_GetItem(shape.get(), axis));
}

bool compare(PyObject* a, PyObject* b, int op) {
    return check_status(PyObject_RichCompareBool(a, b, op)) != 0;
}

}  // namespace

Ref stop_thresholds(PyObject* stop, PyObject* price_index, PyObject* pos_columns,
                    const StopTableNames& names) {
    Ref table;
    Ref stop_table_class = lookup_global(names.globals, names.builtins, stop_table_class_name);
    if (check_status(PyObject_IsInstance(stop, stop_table_class.get()))) {
        table = Ref::borrow(stop);
    } else {
        Ref builder = lookup_global(names.globals, names.builtins, stop_table_name);
        table =
            Ref::steal(PyObject_CallFunctionObjArgs(builder.get(), stop, price_index, pos_columns, nullptr));
    }
    Ref rows = attr(table.get(), "rows");
    Ref values = attr(table.get(), "values");
    Ref n_columns = attr(pos_columns, "size");
    Ref n_bars = attr(price_index, "size");
    Ref zero = Ref::steal(PyLong_FromLong(0));

    bool mismatch = compare(shape_dim(values.get(), 1).get(), n_columns.get(), Py_NE) ||
                    compare(shape_dim(rows.get(), 0).get(), n_bars.get(), Py_NE);
    if (!mismatch && compare(attr(rows.get(), "size").get(), zero.get(), Py_NE)) {
        Ref low = Ref::steal(PyObject_CallMethod(rows.get(), "min", nullptr));
        mismatch = compare(low.get(), zero.get(), Py_LT);
        if (!mismatch) {
            Ref high = Ref::steal(PyObject_CallMethod(rows.get(), "max", nullptr));
            mismatch = compare(high.get(), shape_dim(values.get(), 0).get(), Py_GE);
        }
    }
    if (mismatch) {
        raise(PyExc_ValueError, "Stop thresholds do not match the price bars and position columns");
    }
    return table;
}

}  // namespace vantrel::binding
