// The final portfolio of a run as plain arrays: the weights the latest
// rebalance established, the weights of the next position row, and the action
// pending for each stock. The documented module builds the same description
// as dictionaries through the interpreter; this is its native twin.
#pragma once

#include "run_inputs.hpp"
#include "run_state.hpp"

#include <cstdint>
#include <vector>

namespace vantrel::kernel {

struct FinalPortfolio {
    // Per stock id; has_* tells whether the stock appears in that table.
    std::vector<double> weights, next_weights;
    std::vector<uint8_t> has_weight, has_next_weight;
    std::vector<uint8_t> actions;  // Action
    int weight_row = -1;           // the position row applied by the latest rebalance
    int next_weight_row = 0;       // the position row in force at the end
};

// How a stock's stop stands at the end of a run, for the next weights (read
// only when stopped stocks sit out the next rebalance): `matched` when it left
// by a stop since the latest rebalance or has a stop exit queued; `exited`
// when it left, or is still held with its exit queued.
struct PendingStop {
    bool matched = false;
    bool exited = false;
};
PendingStop pending_stop(const RunState& s, int sid);

FinalPortfolio final_portfolio(const RunInputs& in, const RunState& s, bool stop_trading_next_period);

}  // namespace vantrel::kernel
