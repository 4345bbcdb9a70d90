// The state of one backtest_ call: its converted arguments (typed views over
// the caller's arrays, held for the call) and the run state shared by the bar
// phases. Everything here lives for one call and is dropped when it returns.
#pragma once

#include "array_view.hpp"
#include "pyref.hpp"

#include <cstdint>
#include <map>
#include <vector>

namespace vantrel::simora {

// Growable list of signed stock ids: the sign tells the side of a stop exit
// (negative: stop-loss side, positive: take-profit side). Ids are stored as
// sid + 1 so that stock 0 keeps its side too.
using SignedIds = std::vector<int32_t>;
inline int32_t signed_id(int32_t sid, bool stop_loss_side) {
    return stop_loss_side ? -(sid + 1) : sid + 1;
}
inline int32_t id_of(int32_t signed_id) { return (signed_id < 0 ? -signed_id : signed_id) - 1; }
inline bool is_take_profit(int32_t signed_id) { return signed_id > 0; }

using Holdings = std::map<int, double>;

struct BacktestArgs {
    // Borrowed for the call; the views below read them without copies.
    PyObject* price_values_obj = nullptr;
    PyObject* close_values_obj = nullptr;
    PyObject* price_index_obj = nullptr;
    PyObject* price_columns_obj = nullptr;
    PyObject* pos_columns_obj = nullptr;
    Buffer price_buf, close_buf, high_buf, low_buf, open_buf;
    Buffer price_index_buf, price_columns_buf, pos_values_buf, pos_index_buf, pos_columns_buf;
    Buffer resample_buf, delisting_buf;
    View2<double> price_values, close_values, high_values, low_values, open_values;
    View1<int64_t> price_index, pos_index, resample;
    View1<PyObject*> price_columns, pos_columns;
    View2<double> pos_values;
    bool has_delisting_bars = false;
    View1<int64_t> delisting_bars;

    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    PyObject* stop_loss = nullptr;
    PyObject* take_profit = nullptr;
    double trail_stop = 0.0;
    double trail_stop_activation = 0.0;
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
    PyObject* stop_trading_next_period = nullptr;  // truth-tested where used
    int exvalo_window = 0;
    int exvalo_window_step = 1;
    bool periodically_rebalance = true;
};

struct RunState {
    double cash = 1.0;
    Holdings positions;
    std::map<int, int> column_map;  // as matched by label, for the analysis session
    // Price column of every position column. A stock without a price column
    // reads column 0 (as an ordered-map lookup that inserts 0 would).
    std::vector<int> price_col;
    Ref value_series;
    double* values = nullptr;  // data of value_series
    std::vector<double> cum_return, max_cum_return, min_cum_return;
    std::vector<double> rebalance_prices;
    bool has_delisting = false;

    Ref sl_table, tp_table;
    Buffer sl_values_buf, sl_rows_buf, tp_values_buf, tp_rows_buf;
    View2<double> sl_values, tp_values;
    View1<int64_t> sl_rows, tp_rows;

    std::vector<uint8_t> rebalance_mask;
    Holdings rebalance_positions;
    std::vector<double> last_weights;  // empty until the first rebalance
    SignedIds stopped_stocks, next_exits, due_exits;
    std::vector<int32_t> delisted_stocks;
    int pos_row = 0;
    int applied_pos_row = -1;
    bool rebalance_pending = false;

    Py_ssize_t bar = 0;
    int64_t date = 0;
    int64_t sl_row = 0, tp_row = 0;

    void reset_trackers(int sid) {
        cum_return[sid] = max_cum_return[sid] = min_cum_return[sid] = 1.0;
    }
};

}  // namespace vantrel::simora
