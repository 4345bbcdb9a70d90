// Second half of a bar: the scheduled rebalance, delisting closes, valuation
// and the scheduling of the next rebalance.
#include "execution.hpp"
#include "run.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel::kernel {

namespace {

// The listed columns of the pending weight row into s.row_columns, unless
// they are already there: a row does not change during a run.
void list_row_columns(const RunInputs& in, RunState& s) {
    if (s.row_columns_of == s.pos_row) return;
    in.pos_values.listed_columns(s.pos_row, s.row_columns);
    s.row_columns_of = s.pos_row;
}

// The stocks the next bar's rebalance will trade have not been read lately:
// their trading and closing prices are asked for a whole bar ahead, as the
// holdings walk does for the held ones, so that the entries and the valuation
// find them cached (in a column-major matrix each one is a page of its own).
void prefetch_entries(const RunInputs& in, RunState& s) {
    const std::ptrdiff_t next = s.bar + 1;
    const std::uintptr_t price_row = in.price_values.row_address(next);
    const std::uintptr_t close_row = in.close_values.row_address(next);
    if (price_row == 0 || close_row == 0 || s.pos_row >= in.pos_values.rows()) return;
    const auto price_stride = static_cast<std::uintptr_t>(in.price_values.col_stride());
    const auto close_stride = static_cast<std::uintptr_t>(in.close_values.col_stride());
    const Index n = std::min<Index>(in.pos_values.cols(), static_cast<Index>(in.price_col.size()));
    // The row's columns are read once here and kept for the rebalance.
    list_row_columns(in, s);
    for (const int sid : s.row_columns) {
        if (sid >= n) break;
        const auto col = static_cast<std::uintptr_t>(in.price_col[sid]);
        __builtin_prefetch(reinterpret_cast<const void*>(price_row + col * price_stride));
        __builtin_prefetch(reinterpret_cast<const void*>(close_row + col * close_stride));
    }
}

// The applied row with the stocks stopped out since the last rebalance at 0,
// into last_weights: only the columns the last row listed and this row lists
// (s.row_columns, read for this row already) are written, as the whole row
// copied would leave them.
void take_weights(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    std::vector<double>& weights = s.last_weights;
    if (weights.empty()) weights.assign(static_cast<std::size_t>(in.pos_values.cols()), 0.0);
    for (const int j : s.weight_columns) weights[j] = 0.0;
    const MatrixRow<double> row = in.pos_values.row_view(s.pos_row);
    for (const int j : s.row_columns) weights[j] = row[j];
    s.weight_columns = s.row_columns;
    // A stock stopped out since the last rebalance is not re-entered now.
    if (run.sink.stop_trading_next_period() && !s.stopped_stocks.empty()) {
        for (const int32_t stopped : s.stopped_stocks) weights[id_of(stopped)] = 0.0;
    }
}

}  // namespace

void apply_rebalance(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    list_row_columns(in, s);
    if (in.options.retain_cost_when_rebalance) {
        // Only new holdings and side flips restart their cost basis.
        for (const int j : s.row_columns) {
            const double v = in.pos_values(s.pos_row, j);
            if (v == 0.0) continue;
            auto held = s.positions.find(j);
            if (held == s.positions.end() || held->value * v <= 0.0) s.reset_trackers(j);
        }
    } else {
        // Every tracker restarts; only those the walk moved are not at 1.
        for (const int sid : s.moved_trackers) {
            s.reset_trackers(sid);
            s.trackers_moved[sid] = 0;
        }
        s.moved_trackers.clear();
    }

    take_weights(run);
    s.cash = works_orders(run) ? execute_rebalance(run, s.last_weights, s.cash)
                               : rebalance(run, s.last_weights, s.weight_columns, s.cash);

    s.stopped_stocks.clear();
    s.next_exits.clear();
    s.next_exit_reasons.clear();
    s.rebalance_positions = s.positions;
    s.applied_pos_row = s.pos_row;
    // The reference prices become this bar's trading prices. Only held stocks'
    // references are ever read before the next rebalance replaces them all, so
    // only theirs are copied (a whole row would be a gather across every
    // column of a column-major matrix).
    // The row must exist, as for a whole-row copy; a column past the matrix
    // is left for the read that raises on it.
    const MatrixRow<double> prices = in.price_values.row_view(s.bar);
    if (!prices.inside()) throw KernelError::out_of_bounds(0);
    const std::size_t n_cols = s.rebalance_prices.size();
    for (const auto& [sid, value] : s.positions) {
        const std::size_t col = static_cast<std::size_t>(in.price_col[sid]);
        if (col < n_cols) s.rebalance_prices[col] = prices[static_cast<Index>(col)];
    }
}

void close_delisted(Run& run) {
    RunState& s = run.s;
    for (const auto& [sid, value] : s.positions) {
        if (run.in.delisting_bars[sid] == s.bar && value != 0.0) s.delisted_stocks.push_back(sid);
    }
    for (const int32_t sid : s.delisted_stocks) {
        if (works_orders(run)) {
            s.cash = close_by_delisting(run, sid, s.cash);
        } else {
            s.cash = set_position(run, sid, 0.0, s.cash, false, true, 1.0, {ExitReason::delisting});
        }
        s.reset_trackers(sid);
    }
    s.delisted_stocks.clear();
}

void value_portfolio(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    const int row = static_cast<int>(s.bar);
    const MatrixRow<double> prices = in.price_values.row_view(s.bar);
    const MatrixRow<double> closes = in.close_values.row_view(s.bar);
    double value = s.cash;
    for (const auto& [sid, amount] : s.positions) {
        const int col = in.price_col[sid];
        const double price = prices[col];
        validate_trade_price(price, sid, row);
        const double close = closes[col];
        if (std::isnan(price) || std::isnan(close)) {
            value += amount;
        } else {
            value += (amount * close) / price;
        }
    }
    s.values[s.bar] = value;
}

void value_portfolio_executed(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    const ExecutionState& x = *run.exec;
    const int row = static_cast<int>(s.bar);
    const MatrixRow<double> prices = in.price_values.row_view(s.bar);
    const MatrixRow<double> closes = in.close_values.row_view(s.bar);
    double value = s.cash;
    for (const auto& [sid, amount] : s.positions) {
        const int col = in.price_col[sid];
        validate_trade_price(prices[col], sid, row);
        const double close = closes[col];
        if (std::isnan(close)) {
            value += amount;
        } else {
            value += x.shares[static_cast<std::size_t>(sid)] * raw_price(run, sid, close) / x.unit;
        }
    }
    s.values[s.bar] = value;
}

void schedule_rebalance(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    const std::ptrdiff_t n_bars = in.price_index.size();
    const std::ptrdiff_t last_row = in.pos_index.size() - 1;
    if (s.bar < n_bars - 1) {
        const int64_t next_date = in.price_index[s.bar + 1];
        while (s.pos_row < last_row && in.pos_index[s.pos_row + 1] < next_date) ++s.pos_row;
    } else {
        // After the last bar every position row is in the past.
        if (s.pos_row < last_row) s.pos_row = static_cast<int>(last_row);
    }
    s.rebalance_pending = s.pos_row != s.applied_pos_row && in.rebalance_mask[s.bar] != 0;
    if (s.rebalance_pending) prefetch_entries(in, s);
}

}  // namespace vantrel::kernel
