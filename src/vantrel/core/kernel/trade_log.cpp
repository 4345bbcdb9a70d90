#include "trade_log.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

// The side of the trade as the excursion analysis takes it: from the entry
// weight (NaN and 0 are analysed as short, as the documented session does).
struct WeightSide {
    bool long_side;
    bool is_long() const { return long_side; }
};

// Statistics written into a record's own buffer.
struct StatsBuffer {
    std::vector<double>& out;
    void allocate(int64_t length) {
        if (length < 0) throw KernelError(KernelError::Kind::negative_length);
        out.assign(static_cast<std::size_t>(length), -1.0);
    }
    int64_t length() const { return static_cast<int64_t>(out.size()); }
    void write(int64_t offset, const std::array<double, 6>& record) {
        for (int64_t k = 0; k < 6; ++k) {
            out[static_cast<std::size_t>(checked_index(offset + k, length(), 0))] = record[k];
        }
    }
};

// The price matrices as the documented session reads them: by item, so an
// index past an axis raises NumPy's IndexError. Inside, a checked column is
// handed out for the pass along the span.
struct ItemReader {
    const Matrix<double>& m;
    int64_t rows() const { return m.rows(); }
    static int64_t item(int64_t i, int64_t size, int axis) {
        const int64_t k = i < 0 ? i + size : i;
        if (k < 0 || k >= size) {
            KernelError e(KernelError::Kind::item_out_of_range);
            e.index = i;
            e.axis = axis;
            e.size = size;
            throw e;
        }
        return k;
    }
    double operator()(int64_t row, int64_t col) const {
        return m(item(row, m.rows(), 0), item(col, m.cols(), 1));
    }
    Matrix<double>::Column column(Index j, Index first, Index last) const { return m.column(j, first, last); }
};

int8_t side_of(double target) { return target > 0.0 ? 1 : (target < 0.0 ? -1 : 0); }

}  // namespace

TradeLog::TradeLog(const RunInputs& in, int n_columns) : in_(in), open_(static_cast<std::size_t>(n_columns)) {
    const RunOptions& o = in.options;
    settings_ = {o.fee_ratio, o.tax_ratio, o.excursion_window, o.excursion_window_step};
}

void TradeLog::analyse(int sid, int bar, int full_exit) {
    Open& open = open_[sid];
    const TradeRecord& r = open.record;
    StatsBuffer buffer{open.stats};
    analyse_trade(ItemReader{in_.price_values}, ItemReader{in_.close_values}, in_.price_col[sid], r.entry_bar,
                  bar, WeightSide{r.weight > 0.0}, r.full_entry, full_exit, settings_, buffer, samples_);
    length_ = buffer.length();
}

void TradeLog::entered(int sid, int bar, double weight, double target, double entry_price, const Booking& b) {
    Open& open = open_[sid];
    open.record = TradeRecord{};
    TradeRecord& r = open.record;
    r.stock = sid;
    r.entry_bar = bar;
    r.round_trip = round_trips_++;
    r.side = side_of(target);
    r.full_entry = 1;
    r.weight = weight;
    r.entry_price = entry_price;
    r.profit = b.cash_change;
    r.capital = std::fabs(target);
    r.fees = b.fee;
    r.taxes = b.tax;
    r.slippage = b.slippage;
    r.impact = b.impact;
    r.shares = b.shares_after;
}

void TradeLog::resized(int sid, const Booking& b) {
    TradeRecord& r = open_[sid].record;
    r.profit += b.cash_change;
    r.fees += b.fee;
    r.taxes += b.tax;
    r.slippage += b.slippage;
    r.impact += b.impact;
    if (b.shares_after > r.shares) r.shares = b.shares_after;
    if (b.growing) r.capital += std::fabs(b.amount);
}

void TradeLog::split(int sid, double shares) {
    TradeRecord& r = open_[sid].record;
    if (std::fabs(shares) > r.shares) r.shares = std::fabs(shares);
}

void TradeLog::income(int sid, CostKind kind, double amount) {
    TradeRecord& r = open_[sid].record;
    r.profit += amount;
    if (kind == CostKind::dividends) r.dividends += amount;
    if (kind == CostKind::borrow) r.borrow -= amount;
}

void TradeLog::rebased(int sid, int bar, double weight, double target, double mark, const Booking& b) {
    Open& open = open_[sid];
    TradeRecord& r = open.record;
    // A trade that adds to the position belongs to the new record (its cost
    // comes out of the new value); one that reduces it is realized by the
    // old record, which keeps the proceeds and the costs.
    r.exit_bar = bar;
    r.full_exit = 0;
    r.exit_reason = static_cast<uint8_t>(ExitReason::rebalance);
    r.exit_price = mark;
    if (b.growing) {
        r.profit += b.value_before;
    } else {
        r.profit += b.cash_change + b.value_after;
        r.fees += b.fee;
        r.taxes += b.tax;
        r.slippage += b.slippage;
        r.impact += b.impact;
    }
    const int32_t round_trip = r.round_trip;
    const int8_t old_side = r.side;
    push(open);

    TradeRecord next{};
    next.stock = sid;
    next.entry_bar = bar;
    next.side = side_of(target);
    // A reversal starts a new round trip: it is a different position.
    next.round_trip = next.side == old_side ? round_trip : round_trips_++;
    next.weight = weight;
    next.entry_price = mark;
    next.capital = std::fabs(target);
    next.shares = b.shares_after;
    if (b.growing) {
        next.profit = b.cash_change - b.value_before;
        next.fees = b.fee;
        next.taxes = b.tax;
        next.slippage = b.slippage;
        next.impact = b.impact;
    } else {
        next.profit = -b.value_after;
    }
    open.record = next;
}

void TradeLog::exited(int sid, int bar, ExitReason reason, double fill_price, const Booking& b) {
    Open& open = open_[sid];
    TradeRecord& r = open.record;
    r.exit_bar = bar;
    r.full_exit = 1;
    r.exit_reason = static_cast<uint8_t>(reason);
    r.exit_price = fill_price;
    r.profit += b.cash_change;
    r.fees += b.fee;
    r.taxes += b.tax;
    r.slippage += b.slippage;
    r.impact += b.impact;
    push(open);
}

void TradeLog::close_open(const Holdings& positions, std::ptrdiff_t bar, int current_bar,
                          const std::vector<double>& marks,
                          const std::vector<std::pair<double, double>>* closing) {
    std::size_t k = 0;
    for (const auto& [sid, value] : positions) {
        const std::size_t at = k++;
        if (value == 0) continue;  // NaN is a holding too
        analyse(sid, current_bar, 0);
        Open& open = open_[sid];
        TradeRecord& r = open.record;
        if (closing != nullptr) {
            r.profit += (*closing)[at].first;
            r.exit_price = (*closing)[at].second;
        } else {
            const int col = in_.price_col[sid];
            const double price = in_.price_values(bar, col);
            const double close = in_.close_values(bar, col);
            // Valued as the last bar values it.
            const bool marked = !(std::isnan(price) || std::isnan(close));
            r.profit += marked ? (value * close) / price : value;
            r.exit_price = marked ? close : marks[col];
        }
        r.exit_bar = -1;
        r.full_exit = 0;
        r.exit_reason = static_cast<uint8_t>(ExitReason::open);
        push(open);
    }
}

void TradeLog::push(Open& open) {
    TradeRecord& r = open.record;
    r.realized_return = r.profit / r.capital;
    records_.push_back(r);
    excursions_.insert(excursions_.end(), open.stats.begin(), open.stats.end());
}

}  // namespace vantrel::kernel
