// The bar loop and the preparation of a run.
#include "run.hpp"
#include "execution.hpp"

namespace vantrel::kernel {

std::vector<uint8_t> rebalance_mask(const Vector<int64_t>& price_index, const Vector<int64_t>& calendar) {
    const Index n_bars = price_index.size();
    std::vector<uint8_t> mask(static_cast<std::size_t>(n_bars), 0);
    if (n_bars == 0) return mask;  // no bar to mark
    Index j = 0;
    for (Index i = 0; i < calendar.size(); ++i) {
        const int64_t d = calendar[i];
        while (j + 1 < n_bars && price_index[j + 1] <= d) ++j;
        mask[j] = 1;
    }
    return mask;
}

bool any_delisting(const Vector<int64_t>& delisting_bars) {
    for (Index i = 0; i < delisting_bars.size(); ++i) {
        if (delisting_bars[i] >= 0) return true;
    }
    return false;
}

void prepare_state(const RunInputs& in, RunState& s, double* values) {
    s.cash = 1.0;
    s.values = values;
    s.cum_return.assign(static_cast<std::size_t>(in.pos_values.cols()), 1.0);
    s.max_cum_return = s.cum_return;
    s.min_cum_return = s.cum_return;
    s.trackers_moved.assign(s.cum_return.size(), 0);
    s.rebalance_prices.assign(static_cast<std::size_t>(in.price_values.cols()), 1.0);
    s.has_delisting = in.has_delisting_bars && any_delisting(in.delisting_bars);
}

void run_bars(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    const Index n_bars = in.price_index.size();
    for (Index bar = 0; bar < n_bars; ++bar) {
        s.bar = bar;
        s.date = in.price_index[bar];
        if (s.date < in.pos_index[0]) {
            s.values[bar] = 1.0;  // still all cash before the first position row
            continue;
        }
        run.sink.bar_started(static_cast<int>(bar));
        s.current_bar = static_cast<int>(bar);
        s.sl_row = in.sl_rows[bar];
        s.tp_row = in.tp_rows[bar];

        if (run.exec != nullptr) {
            run_executed_bar(run);
        } else {
            walk_holdings(run);
            run_deferred_exits(run);
            hand_over_exits(s);
            if (s.rebalance_pending) apply_rebalance(run);
            if (s.has_delisting) close_delisted(run);
            value_portfolio(run);
        }
        schedule_rebalance(run);
        if (run.exec != nullptr) finish_executed_bar(run);
    }
    if (run.log == nullptr) return;
    if (run.exec != nullptr) {
        const auto closing = closing_marks(run);
        run.log->close_open(s.positions, s.bar, s.current_bar, s.rebalance_prices, &closing);
    } else {
        run.log->close_open(s.positions, s.bar, s.current_bar, s.rebalance_prices);
    }
}

}  // namespace vantrel::kernel
