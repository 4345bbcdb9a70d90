// Moving money between cash and holdings: one stock to a target value
// (set_position), a whole weight row (rebalance), and the normalisation of a
// weight dictionary (normalize_weight, callable from Python).
#pragma once

#include "run_state.hpp"

namespace vantrel::simora {

struct Costs {
    double fee_ratio;
    double tax_ratio;
};

// Brings `sid` to `target_value`, charging the fee on every trade and the tax
// on trades that reduce or close, and reports entries and exits to the
// excursion analysis first; a zero `weight_base` (the portfolio value of a
// rebalance) raises ZeroDivisionError before any change.
// Returns the new cash balance.
double set_position(Holdings& positions, int sid, double target_value, double cash,
                    const Costs& costs, bool verify_held, bool drop_flat,
                    double weight_base = 1.0);

// Trades every position column to its weight of the portfolio value, capped
// at position_limit. Returns the new cash balance.
double rebalance(Holdings& positions, const std::vector<double>& weights, double cash,
                 const Costs& costs, double position_limit);

// Sum of absolute weights, in NumPy's pairwise summation order.
double abs_weight_sum(const std::vector<double>& weights);

// normalize_weight(weights, position_limit) -> weights
PyObject* normalize_weight(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::simora
