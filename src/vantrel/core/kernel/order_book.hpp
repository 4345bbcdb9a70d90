// The orders the execution layer is working: at most one per stock, as a
// number of shares fixed when the order was decided. An order fills what each
// bar allows and carries the rest to the next bar, until it is filled or the
// next rebalance replaces it. The book also keeps, per stock, the shares
// traded on the current bar, which the participation cap limits.
#pragma once

#include "trade_codes.hpp"

#include <cstddef>
#include <limits>
#include <vector>

namespace vantrel::kernel {

struct Order {
    int sid = 0;
    double remaining = 0.0;  // signed shares still to trade (+ buys, - sells)
    double decided = 0.0;    // |shares| decided: the scale of what counts as filled
    // The holding's value when the order fills in full on the bar it was
    // decided (fractional weights: the row's target, as a rebalance without
    // the layer sets it); NaN on later bars.
    double target_value = std::numeric_limits<double>::quiet_NaN();
    // The entry weight of a trade record the order opens: the target value
    // over the portfolio value when it was decided.
    double weight_target = 0.0;
    double weight_base = 1.0;
    bool closes = false;  // the order ends with no holding
    bool exit = false;    // a stop exit: no stop tests while it works
    // Decided by a rebalance that keeps the holding: its first booking re-bases
    // the trade record, as a rebalance does.
    bool may_rebase = false;
    FillReason reason = FillReason::rebalance;
    ExitReason exit_reason = ExitReason::rebalance;
    int decided_bar = 0;
    int tally_bar = -1;  // the bar `tally` counts
    double tally = 0.0;  // shares of this stock traded on tally_bar

    bool filled() const { return remaining == 0.0; }
    double traded_on(int bar) const { return tally_bar == bar ? tally : 0.0; }
};

class OrderBook {
public:
    using iterator = std::vector<Order>::iterator;
    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    bool empty() const { return items_.empty(); }

    Order* find(int sid);
    const Order* find(int sid) const;
    // Places `order`, replacing the stock's order; the shares already traded
    // in the stock on `bar` still count against the cap.
    Order& place(Order order, int bar);
    // Whether the stock is leaving by a stop exit still being worked (asked
    // for every holding on every bar: most bars have none).
    bool exiting(int sid) const {
        if (exits_ == 0) return false;
        const Order* o = find(sid);
        return o != nullptr && o->exit && !o->filled();
    }
    // Every order is replaced by a rebalance: only this bar's tallies stay.
    void replace_all(int bar);
    void cancel(int sid);
    // After a bar: filled orders go (their tallies counted that bar only).
    void purge();
    // A split multiplies the shares of the stocks' orders.
    void split(int sid, double ratio);

private:
    std::vector<Order> items_;  // ascending stock id
    int exits_ = 0;             // stop exits placed and not yet purged
};

}  // namespace vantrel::kernel
