// The state of one run, shared by the bar phases. It lives for one run and
// belongs to it alone: the kernel keeps nothing between runs.
#pragma once

#include "holdings.hpp"
#include "trade_codes.hpp"

#include <cstdint>
#include <vector>

namespace vantrel::kernel {

// Signed stock ids of stop exits: negative for the stop-loss side, positive
// for the take-profit side. Stored as sid + 1 so that stock 0 keeps its side.
using SignedIds = std::vector<int32_t>;
inline int32_t signed_id(int32_t sid, bool stop_loss_side) { return stop_loss_side ? -(sid + 1) : sid + 1; }
inline int32_t id_of(int32_t signed_id) { return (signed_id < 0 ? -signed_id : signed_id) - 1; }
inline bool is_take_profit(int32_t signed_id) { return signed_id > 0; }

struct RunState {
    double cash = 1.0;
    Holdings positions;
    double* values = nullptr;  // the value series, one entry per bar (caller's memory)
    std::vector<double> cum_return, max_cum_return, min_cum_return;  // per stock
    std::vector<double> rebalance_prices;                            // per price column
    bool has_delisting = false;

    Holdings rebalance_positions;
    std::vector<double> last_weights;  // empty until the first rebalance
    // The columns of last_weights that may be nonzero (see Matrix::listed_columns).
    std::vector<int> weight_columns;
    // The listed columns of weight row `row_columns_of` (-1: none read yet),
    // read when the rebalance is scheduled and used when it is applied.
    std::vector<int> row_columns;
    int row_columns_of = -1;
    // The stocks whose return trackers the walk has moved since they were all
    // last restarted, flagged per stock: only theirs need restarting.
    std::vector<int> moved_trackers;
    std::vector<int> trackers_moved;
    SignedIds stopped_stocks, next_exits, due_exits;
    // Why each queued close-mode stop fired, in step with next_exits/due_exits.
    std::vector<ExitReason> next_exit_reasons, due_exit_reasons;
    std::vector<int32_t> delisted_stocks;
    int pos_row = 0;
    int applied_pos_row = -1;
    bool rebalance_pending = false;

    std::ptrdiff_t bar = 0;
    int64_t date = 0;
    int64_t sl_row = 0, tp_row = 0;
    // The last bar reported to the sink: the exit bar of every exit.
    int current_bar = 0;

    void reset_trackers(int sid) { cum_return[sid] = max_cum_return[sid] = min_cum_return[sid] = 1.0; }
};

}  // namespace vantrel::kernel
