#include "column_mapping.hpp"

#include <string>

namespace vantrel::binding {

namespace {

// label.encode("UTF-8"), as bytes.
std::string utf8_key(PyObject* label) {
    if (PyUnicode_CheckExact(label)) {
        // The same bytes (and the same UnicodeEncodeError) without a method call.
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(label, &size);
        if (text == nullptr) throw PyErrorSet{};
        return std::string(text, static_cast<size_t>(size));
    }
    Ref encoded = Ref::steal(PyObject_CallMethod(label, "encode", "s", "UTF-8"));
    if (!PyBytes_Check(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded.get())->tp_name);
        throw PyErrorSet{};
    }
    return std::string(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

// Calls fn(index, label) for every element, by the iteration protocol.
template <class Fn>
void enumerate(PyObject* sequence, Fn fn) {
    Ref it = Ref::steal(PyObject_GetIter(sequence));
    int i = 0;
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) fn(i++, item.get());
    check_pending();
}

}  // namespace

std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns) {
    std::map<std::string, int> price_map;
    enumerate(price_columns, [&](int i, PyObject* label) { price_map[utf8_key(label)] = i; });
    std::map<int, int> result;
    enumerate(pos_columns, [&](int j, PyObject* label) {
        auto found = price_map.find(utf8_key(label));
        if (found != price_map.end()) result[j] = found->second;
    });
    return result;
}

void raise_invalid_trade_price(double price, PyObject* stock, int row) {
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref name = Ref::steal(PyObject_Format(stock ? stock : Py_None, empty.get()));
    Ref number = Ref::steal(PyFloat_FromDouble(price));
    Ref shown = Ref::steal(PyObject_Repr(number.get()));
    PyErr_Format(PyExc_ValueError,
                 "Invalid trading price for %U at price row %d: %U. Expected a positive finite "
                 "price; check the trading-price dataset.",
                 name.get(), row, shown.get());
    throw PyErrorSet{};
}

}  // namespace vantrel::binding
