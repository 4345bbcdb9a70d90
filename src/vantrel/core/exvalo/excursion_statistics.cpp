#include "excursion_statistics.hpp"

#include "array_view.hpp"
#include "excursion_series.hpp"
#include "price_matrix.hpp"
#include "session_state.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vantrel::exvalo {

namespace {

[[noreturn]] void float_division() { raise(PyExc_ZeroDivisionError, "float division"); }

// Integer division rounded towards minus infinity.
int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Position of the exit in the span: the exit bar, or the end of the span when
// that comes first. A negative distance compares as a huge unsigned one.
std::size_t exit_position(std::size_t span, int exit_bar, int entry_bar) {
    return std::min<uint64_t>(span - 1, static_cast<uint64_t>(int64_t{exit_bar} - entry_bar));
}

// The truth of the side flag, asked each time the side matters. A Python or
// NumPy boolean always answers the same, so its answer is taken once.
class Side {
public:
    explicit Side(PyObject* is_long) : is_long_(is_long) {
        if (PyBool_Check(is_long) || PyArray_IsScalar(is_long, Bool)) {
            fixed_ = check_status(PyObject_IsTrue(is_long)) != 0 ? 1 : 0;
        }
    }
    bool is_long() const {
        if (fixed_ >= 0) return fixed_ != 0;
        return check_status(PyObject_IsTrue(is_long_)) != 0;
    }

private:
    PyObject* is_long_;
    int fixed_ = -1;
};

// The statistics array, -1.0 wherever no record is written.
class Records {
public:
    explicit Records(int64_t length) {
        npy_intp dims[1] = {static_cast<npy_intp>(length)};
        array_ = Ref::steal(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
        auto* a = reinterpret_cast<PyArrayObject*>(array_.get());
        data_ = static_cast<double*>(PyArray_DATA(a));
        length_ = PyArray_DIM(a, 0);
        std::fill(data_, data_ + length_, -1.0);
    }

    Py_ssize_t length() const { return length_; }

    // Writes the six values at offset..offset+5, each index checked as a
    // typed buffer checks it (negative from the end, past the end raises).
    void write(Py_ssize_t offset, const std::array<double, 6>& record) {
        for (Py_ssize_t k = 0; k < 6; ++k) data_[checked_index(offset + k, length_, 0)] = record[k];
    }

    Ref release() { return std::move(array_); }

private:
    Ref array_;
    double* data_ = nullptr;
    Py_ssize_t length_ = 0;
};

}  // namespace

Ref exvalo_analysis(int sid, int entry_bar, int exit_bar, PyObject* is_long, int full_entry,
                    int full_exit) {
    const Side side(is_long);
    const int pc = session.column_map[sid];  // an unmapped stock reads column 0
    const PriceMatrix trade(session.trade_prices);
    const PriceMatrix close(session.close_prices);

    // The span reaches at least `window` bars past the entry, within the data.
    int64_t end_bar = exit_bar;
    if (int64_t{entry_bar} + session.window > end_bar) end_bar = int64_t{entry_bar} + session.window;
    const Py_ssize_t n = trade.rows();
    if (end_bar >= n) end_bar = n - 1;

    const int64_t span = end_bar - entry_bar + 1;
    if (span < 0) raise(PyExc_OverflowError, "can't convert negative value to size_t");
    ExcursionSeries series;
    series.reserve(static_cast<std::size_t>(span));

    // Value at the entry close relative to the execution price.
    const double pe = trade(entry_bar, pc);
    const double ce = close(entry_bar, pc);
    if (pe == 0) float_division();
    double v = side.is_long() ? ce / pe : 2 - ce / pe;
    if (full_entry != 0) v = (1 - session.fee_ratio) * v;
    series.start(v);

    // Close to close; a bar without a close leaves the value as it was.
    double prev = close(entry_bar, pc);
    bool walked = false;
    for (int64_t ith = int64_t{entry_bar} + 1; ith <= end_bar; ++ith) {
        const double c = close(ith, pc);
        const bool has_close = !std::isnan(c);
        if (has_close) {
            if (prev == 0) float_division();
            const double ratio = c / prev;
            prev = c;
            if (!std::isnan(ratio)) v = side.is_long() ? v * ratio : 2 - (2 - v) * ratio;
        }
        if (!series.extend(v, has_close && v > 1.0)) float_division();
        walked = true;
    }

    // A full exit is filled at the execution price of the exit bar and pays
    // the exit costs; the running extremes keep their close-based values.
    if (full_exit != 0) {
        if (entry_bar != end_bar && !walked) {
            raise(PyExc_UnboundLocalError, "local variable 'ith' referenced before assignment");
        }
        const std::size_t e = exit_position(series.size(), exit_bar, entry_bar);
        double& x = series.value(e);
        if (e > 0) {
            const int64_t bar = int64_t{entry_bar} + static_cast<int64_t>(e);
            const double px = trade(bar, pc);
            const double cx = close(bar, pc);
            if (cx == 0) float_division();
            x = side.is_long() ? (px / cx) * x : 2 - ((2 - x) * px) / cx;
        }
        x = x * (1 - session.fee_ratio - session.tax_ratio);
    }

    const int window = session.window;
    const int step = session.window_step;
    if (step == 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    const int64_t window_less_one = int64_t{window} - 1;
    if (step == -1 && window_less_one == INT32_MIN) {
        raise(PyExc_OverflowError, "value too large to perform division");
    }
    Records records(floor_div(window_less_one, step) * 6 + 12);

    // Samples every `step` bars inside the window; a negative window compares
    // as a huge unsigned one and samples the whole span.
    const uint64_t m =
        std::min<uint64_t>(static_cast<uint64_t>(int64_t{window}), series.size());
    if (step > 0) {
        Py_ssize_t offset = 0;
        for (uint64_t p = 0; p < m; p += static_cast<uint64_t>(step), offset += 6) {
            records.write(offset, series.record(p));
        }
    }
    records.write(records.length() - 6,
                  series.record(exit_position(series.size(), exit_bar, entry_bar)));
    return records.release();
}

}  // namespace vantrel::exvalo
