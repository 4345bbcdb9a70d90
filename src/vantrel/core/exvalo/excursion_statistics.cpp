// The session's excursion analysis: the kernel's algorithm read through the
// session's matrices (with NumPy's item semantics), the side flag's truth and
// a NumPy result array.
#include "excursion_statistics.hpp"

#include "array_view.hpp"
#include "excursion_analysis.hpp"
#include "kernel_errors.hpp"
#include "price_matrix.hpp"
#include "session_state.hpp"

#include <algorithm>

namespace vantrel::exvalo {

namespace {

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

// The statistics array, made by NumPy and filled with -1.0 first.
class Records {
public:
    void allocate(int64_t length) {
        npy_intp dims[1] = {static_cast<npy_intp>(length)};
        array_ = Ref::steal(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
        auto* a = reinterpret_cast<PyArrayObject*>(array_.get());
        data_ = static_cast<double*>(PyArray_DATA(a));
        length_ = PyArray_DIM(a, 0);
        std::fill(data_, data_ + length_, -1.0);
    }

    int64_t length() const { return length_; }

    // Writes the six values at offset..offset+5, each index checked as a
    // typed buffer checks it (negative from the end, past the end raises).
    void write(int64_t offset, const std::array<double, 6>& record) {
        for (int64_t k = 0; k < 6; ++k) {
            data_[kernel::checked_index(offset + k, length_, 0)] = record[k];
        }
    }

    Ref release() { return std::move(array_); }

private:
    Ref array_;
    double* data_ = nullptr;
    int64_t length_ = 0;
};

}  // namespace

Ref exvalo_analysis(int sid, int entry_bar, int exit_bar, PyObject* is_long, int full_entry, int full_exit) {
    const Side side(is_long);
    const int pc = session.column_map[sid];  // an unmapped stock reads column 0
    const PriceMatrix trade(session.trade_prices);
    const PriceMatrix close(session.close_prices);
    const kernel::ExcursionSettings settings{session.fee_ratio, session.tax_ratio, session.window,
                                             session.window_step};
    Records records;
    try {
        kernel::analyse_trade(trade, close, pc, entry_bar, exit_bar, side, full_entry, full_exit, settings,
                              records);
    } catch (const kernel::KernelError& e) {
        raise_excursion_error(e);
    }
    return records.release();
}

}  // namespace vantrel::exvalo
