#include "outputs.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

namespace {

struct Field {
    const char* name;
    const char* format;
    std::size_t offset;
};

// A record dtype with the given fields at fixed offsets; `samples` > 0 adds a
// (samples, 6) float64 field at `samples_offset`.
Ref record_dtype(const std::vector<Field>& fields, std::size_t itemsize, Py_ssize_t samples = 0,
                 std::size_t samples_offset = 0) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(fields.size()) + (samples > 0 ? 1 : 0);
    Ref names = Ref::steal(PyList_New(n));
    Ref formats = Ref::steal(PyList_New(n));
    Ref offsets = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(fields.size()); ++i) {
        PyList_SET_ITEM(names.get(), i, check(PyUnicode_FromString(fields[i].name)));
        PyList_SET_ITEM(formats.get(), i, check(PyUnicode_FromString(fields[i].format)));
        PyList_SET_ITEM(offsets.get(), i, check(PyLong_FromSize_t(fields[i].offset)));
    }
    if (samples > 0) {
        const Py_ssize_t i = n - 1;
        std::string format = "(";  // appended: GCC 12 misreads "(" + std::string as overlapping copies
        format.append(std::to_string(samples)).append(",6)<f8");
        PyList_SET_ITEM(names.get(), i, check(PyUnicode_FromString("samples")));
        PyList_SET_ITEM(formats.get(), i, check(PyUnicode_FromString(format.c_str())));
        PyList_SET_ITEM(offsets.get(), i, check(PyLong_FromSize_t(samples_offset)));
    }
    Ref description =
        Ref::steal(Py_BuildValue("{s:O,s:O,s:O,s:n}", "names", names.get(), "formats", formats.get(),
                                 "offsets", offsets.get(), "itemsize", static_cast<Py_ssize_t>(itemsize)));
    PyArray_Descr* descr = nullptr;
    check_status(PyArray_DescrConverter(description.get(), &descr) == NPY_SUCCEED ? 0 : -1);
    return Ref::steal(reinterpret_cast<PyObject*>(descr));
}

// A new 1-D array of `n` records of `dtype` (the reference to dtype is kept).
Ref new_records(const Ref& dtype, npy_intp n, char** data) {
    PyArray_Descr* descr = reinterpret_cast<PyArray_Descr*>(dtype.new_ref());
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, nullptr, 0, nullptr));
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    *data = PyArray_BYTES(a);
    std::memset(*data, 0, static_cast<std::size_t>(PyArray_NBYTES(a)));  // padding too
    return array;
}

template <std::size_t N>
Ref names_tuple(const std::array<std::string_view, N>& names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* name =
            check(PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size())));
        PyUnicode_InternInPlace(&name);
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

}  // namespace

Ref trade_log_array(const kernel::TradeLog& log) {
    using kernel::TradeRecord;
    constexpr std::size_t kFixed = sizeof(TradeRecord);
    static_assert(kFixed == 4 * 4 + 4 + 4 + 13 * 8, "trade records have no padding");
    constexpr std::size_t kExit = 6 * sizeof(double);
    const std::size_t length = static_cast<std::size_t>(log.excursion_length());
    const std::size_t samples = length / 6 - 1;  // window records before the exit record
    const std::size_t itemsize = kFixed + kExit + samples * 6 * sizeof(double);
    const std::vector<Field> fields = {
        {"stock", "<i4", offsetof(TradeRecord, stock)},
        {"entry_bar", "<i4", offsetof(TradeRecord, entry_bar)},
        {"exit_bar", "<i4", offsetof(TradeRecord, exit_bar)},
        {"round_trip", "<i4", offsetof(TradeRecord, round_trip)},
        {"side", "i1", offsetof(TradeRecord, side)},
        {"full_entry", "?", offsetof(TradeRecord, full_entry)},
        {"full_exit", "?", offsetof(TradeRecord, full_exit)},
        {"exit_reason", "u1", offsetof(TradeRecord, exit_reason)},
        {"weight", "<f8", offsetof(TradeRecord, weight)},
        {"entry_price", "<f8", offsetof(TradeRecord, entry_price)},
        {"exit_price", "<f8", offsetof(TradeRecord, exit_price)},
        {"fees", "<f8", offsetof(TradeRecord, fees)},
        {"taxes", "<f8", offsetof(TradeRecord, taxes)},
        {"profit", "<f8", offsetof(TradeRecord, profit)},
        {"capital", "<f8", offsetof(TradeRecord, capital)},
        {"return", "<f8", offsetof(TradeRecord, realized_return)},
        {"shares", "<f8", offsetof(TradeRecord, shares)},
        {"slippage", "<f8", offsetof(TradeRecord, slippage)},
        {"impact", "<f8", offsetof(TradeRecord, impact)},
        {"dividends", "<f8", offsetof(TradeRecord, dividends)},
        {"borrow", "<f8", offsetof(TradeRecord, borrow)},
        {"adverse_excursion", "<f8", kFixed + 0 * sizeof(double)},
        {"favourable_excursion", "<f8", kFixed + 1 * sizeof(double)},
        {"favourable_before_adverse", "<f8", kFixed + 2 * sizeof(double)},
        {"drawdown", "<f8", kFixed + 3 * sizeof(double)},
        {"profitable_bars", "<f8", kFixed + 4 * sizeof(double)},
        {"excursion_return", "<f8", kFixed + 5 * sizeof(double)},
    };
    Ref dtype = record_dtype(fields, itemsize, static_cast<Py_ssize_t>(samples), kFixed + kExit);

    const auto& records = log.records();
    const double* stats = log.excursions().data();
    char* out = nullptr;
    Ref array = new_records(dtype, static_cast<npy_intp>(records.size()), &out);
    for (const TradeRecord& r : records) {
        std::memcpy(out, &r, kFixed);
        // The statistics: window samples first, the exit record last.
        std::memcpy(out + kFixed, stats + samples * 6, kExit);
        if (samples > 0) std::memcpy(out + kFixed + kExit, stats, samples * 6 * sizeof(double));
        out += itemsize;
        stats += length;
    }
    return array;
}

Ref portfolio_array(const kernel::FinalPortfolio& p) {
    struct Row {
        double weight;
        double next_weight;
        uint8_t has_weight;
        uint8_t has_next_weight;
        uint8_t action;
    };
    const std::vector<Field> fields = {
        {"weight", "<f8", offsetof(Row, weight)},
        {"next_weight", "<f8", offsetof(Row, next_weight)},
        {"has_weight", "?", offsetof(Row, has_weight)},
        {"has_next_weight", "?", offsetof(Row, has_next_weight)},
        {"action", "u1", offsetof(Row, action)},
    };
    Ref dtype = record_dtype(fields, sizeof(Row));
    char* out = nullptr;
    const std::size_t n = p.weights.size();
    Ref array = new_records(dtype, static_cast<npy_intp>(n), &out);
    for (std::size_t i = 0; i < n; ++i) {
        char* row = out + i * sizeof(Row);
        std::memcpy(row + offsetof(Row, weight), &p.weights[i], sizeof(double));
        std::memcpy(row + offsetof(Row, next_weight), &p.next_weights[i], sizeof(double));
        row[offsetof(Row, has_weight)] = static_cast<char>(p.has_weight[i]);
        row[offsetof(Row, has_next_weight)] = static_cast<char>(p.has_next_weight[i]);
        row[offsetof(Row, action)] = static_cast<char>(p.actions[i]);
    }
    return array;
}

Ref fills_array(const kernel::FillLog& log) {
    using kernel::FillRecord;
    static_assert(sizeof(FillRecord) == 4 * 4 + 7 * 8, "fill records have no padding");
    const std::vector<Field> fields = {
        {"bar", "<i4", offsetof(FillRecord, bar)},       {"stock", "<i4", offsetof(FillRecord, stock)},
        {"side", "i1", offsetof(FillRecord, side)},      {"reason", "u1", offsetof(FillRecord, reason)},
        {"shares", "<f8", offsetof(FillRecord, shares)}, {"price", "<f8", offsetof(FillRecord, price)},
        {"value", "<f8", offsetof(FillRecord, value)},   {"fee", "<f8", offsetof(FillRecord, fee)},
        {"tax", "<f8", offsetof(FillRecord, tax)},       {"slippage", "<f8", offsetof(FillRecord, slippage)},
        {"impact", "<f8", offsetof(FillRecord, impact)},
    };
    Ref dtype = record_dtype(fields, sizeof(FillRecord));
    const auto& fills = log.fills();
    char* out = nullptr;
    Ref array = new_records(dtype, static_cast<npy_intp>(fills.size()), &out);
    if (!fills.empty()) std::memcpy(out, fills.data(), fills.size() * sizeof(FillRecord));
    return array;
}

Ref costs_array(const kernel::FillLog& log) {
    const auto& costs = log.costs();
    npy_intp shape[2] = {static_cast<npy_intp>(costs.size() / kernel::kCostKinds), kernel::kCostKinds};
    Ref array = Ref::steal(PyArray_EMPTY(2, shape, NPY_FLOAT64, 0));
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (!costs.empty()) std::memcpy(PyArray_DATA(a), costs.data(), costs.size() * sizeof(double));
    return array;
}

Ref exit_reason_names() { return names_tuple(kernel::kExitReasonNames); }

Ref action_names() { return names_tuple(kernel::kActionNames); }

Ref fill_reason_names() { return names_tuple(kernel::kFillReasonNames); }

Ref cost_kind_names() { return names_tuple(kernel::kCostKindNames); }

}  // namespace vantrel::engine
