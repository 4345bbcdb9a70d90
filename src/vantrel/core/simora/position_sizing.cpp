#include "position_sizing.hpp"

#include "argument_binding.hpp"
#include "module_state.hpp"

#include <cmath>

#include "numpy_api.hpp"

namespace vantrel::simora {

namespace {

GlobalName org_np_name("org_np");
GlobalName retain_cost_name("RETAIN_COST_WHEN_REBALANCE");
GlobalName resample_name("RESAMPLE");

// The weight reported with an entry: a true division, which fails on a zero
// base with the interpreter's own division error.
double entry_weight(double target_value, double weight_base) {
    if (weight_base == 0.0) {
        Ref numerator = Ref::steal(PyFloat_FromDouble(target_value));
        Ref denominator = Ref::steal(PyFloat_FromDouble(weight_base));
        Ref quotient = Ref::steal(PyNumber_TrueDivide(numerator.get(), denominator.get()));
    }
    return target_value / weight_base;
}

void notify_entry(int sid, double weight, int full_entry) {
    state().exvalo.record_entry(sid, weight, full_entry);
    check_pending();
}

void notify_exit(int sid, int full_exit) {
    state().exvalo.record_exit(sid, full_exit);
    check_pending();
}

// NumPy's pairwise summation of a contiguous run (blocks of 128 with eight
// accumulators, halves split on multiples of eight).
double pairwise_sum(const double* a, Py_ssize_t n) {
    if (n < 8) {
        double res = 0.0;
        for (Py_ssize_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        Py_ssize_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    Py_ssize_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// Above one buffer's worth of elements NumPy versions differ in how they
// split a reduction; let NumPy itself sum such long rows.
constexpr Py_ssize_t kNativeSumLimit = 8192;

double numpy_abs_sum(const std::vector<double>& weights) {
    npy_intp n = static_cast<npy_intp>(weights.size());
    Ref array = Ref::steal(PyArray_SimpleNew(1, &n, NPY_FLOAT64));
    std::copy(weights.begin(), weights.end(),
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    Ref np = global(org_np_name);
    Ref absolute = Ref::steal(PyObject_CallMethod(np.get(), "abs", "O", array.get()));
    Ref total = Ref::steal(PyObject_CallMethod(np.get(), "sum", "O", absolute.get()));
    const double v = PyFloat_AsDouble(total.get());
    if (v == -1.0) check_pending();
    return v;
}

}  // namespace

double abs_weight_sum(const std::vector<double>& weights) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(weights.size());
    if (n > kNativeSumLimit) return numpy_abs_sum(weights);
    std::vector<double> magnitudes(weights.size());
    for (Py_ssize_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(weights[i]);
    return pairwise_sum(magnitudes.data(), n);
}

double set_position(Holdings& positions, int sid, double target_value, double cash,
                    const Costs& costs, bool verify_held, bool drop_flat, double weight_base) {
    auto found = positions.find(sid);
    const bool present = found != positions.end();
    const bool held = !verify_held || present;
    const bool holding = present && found->second != 0.0;
    const bool opening = target_value != 0.0;

    if (!holding && opening) {
        notify_entry(sid, entry_weight(target_value, weight_base), 1);
    } else if (holding && !opening) {
        notify_exit(sid, 1);
    } else if (holding && opening && !setting_is_true(retain_cost_name) &&
               setting_is_true(resample_name)) {
        notify_exit(sid, 0);
        notify_entry(sid, entry_weight(target_value, weight_base), 0);
    }

    if (target_value == 0.0) {
        if (held) {
            double& value = positions[sid];
            const double v = value;
            cash = cash + (v - std::fabs(v) * (costs.fee_ratio + costs.tax_ratio));
            if (drop_flat) {
                positions.erase(sid);
            } else {
                value = 0.0;
            }
        }
        return cash;
    }

    double& value = positions[sid];  // inserts 0 when not held
    const double amount = target_value - value;
    const bool buying = amount > 0.0;
    const bool growing = (target_value >= 0.0 && amount > 0.0) || (target_value <= 0.0 && amount < 0.0);
    const double cost = growing ? std::fabs(amount) * costs.fee_ratio
                                : std::fabs(amount) * (costs.fee_ratio + costs.tax_ratio);
    if (buying) {
        cash = cash - amount;
        value = value + (amount - cost);
    } else {
        cash = cash + (-amount - cost);
        value = value + amount;
    }
    if (drop_flat && value == 0.0) positions.erase(sid);
    return cash;
}

double rebalance(Holdings& positions, const std::vector<double>& weights, double cash,
                 const Costs& costs, double position_limit) {
    double total = cash;
    for (const auto& [sid, value] : positions) total += value;
    double denominator = abs_weight_sum(weights);
    if (1.0 > denominator) denominator = 1.0;
    double ratio = total / denominator;
    if (std::isnan(ratio)) ratio = 1.0;
    const double cap = total * position_limit;
    const int n = static_cast<int>(weights.size());
    // Which columns are held; each call below changes only its own column,
    // which the loop has then passed.
    std::vector<char> held(static_cast<size_t>(n), 0);
    for (const auto& [sid, value] : positions) {
        if (sid >= 0 && sid < n) held[sid] = 1;
    }
    for (int sid = 0; sid < n; ++sid) {
        double target = weights[sid] * ratio;
        if (std::fabs(target) > cap) target = cap * (target > 0.0 ? 1.0 : -1.0);
        // Closing a stock that is not held changes nothing: skip the call.
        if (target == 0.0 && !held[sid]) continue;
        cash = set_position(positions, sid, target, cash, costs, true, true, total);
    }
    return cash;
}

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
