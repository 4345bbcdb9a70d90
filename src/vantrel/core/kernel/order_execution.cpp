// Working orders on a bar: how much the fill model and the cash allow, and
// what is carried. Stop exits and delisting closes become fills here too.
#include "execution.hpp"
#include "fill_model.hpp"

#include <cmath>
#include <limits>

namespace vantrel::kernel {

namespace {

// What is left of an order below this share of it counts as filled
// (fractional shares do not subtract to exactly nothing).
constexpr double kFilledTolerance = 1e-9;
// A participation cap or a target a hair below a whole lot still buys it.
constexpr double kLotTolerance = 1e-9;
constexpr double kCashTolerance = 1e-12;

double quoted(const Run& run, int col, double adjusted) {
    const std::vector<double>& f = run.exec->split_factor;
    return f.empty() ? adjusted : adjusted / f[static_cast<std::size_t>(col)];
}

// The shares of whole lots within `room`, or the whole order when it fits.
double whole_lots(double room, double want, double lot) {
    if (room >= want) return want;
    const double shares = std::floor(room / lot + kLotTolerance) * lot;
    return shares < want ? shares : want;
}

// Capital mode: the cash a purchase of `q` shares takes (price after
// slippage and impact, fee, and the tax when it only covers a short).
double purchase_cost(const Run& run, int sid, double q, double price, double slippage, const Liquidity& liq) {
    const ExecutionState& x = *run.exec;
    const RunOptions& o = run.in.options;
    const double gross = q * (price * (1.0 + (slippage + impact_rate(run, liq, q)))) / x.unit;
    const double fee = o.fee_ratio * gross;
    const bool growing = x.shares[static_cast<std::size_t>(sid)] + q >= 0.0;
    return gross + (fee > x.min_fee ? fee : x.min_fee) + (growing ? 0.0 : o.tax_ratio * gross);
}

// The most of `room` shares (whole lots below it) the cash pays for without
// falling below `floor`.
double affordable(const Run& run, int sid, double room, double price, double slippage, const Liquidity& liq,
                  double cash, double floor, double lot) {
    const double available = cash - floor;
    auto fits = [&](double q) {
        return q == 0.0 || purchase_cost(run, sid, q, price, slippage, liq) <= available + kCashTolerance;
    };
    if (fits(room)) return room;
    double hi = std::floor(room / lot + kLotTolerance);
    if (hi * lot >= room) hi -= 1.0;
    if (hi <= 0.0) return 0.0;
    if (fits(hi * lot)) return hi * lot;
    double lo = 0.0;  // fits; hi does not
    while (hi - lo > 1.0) {
        const double mid = std::floor((lo + hi) / 2.0);
        (fits(mid * lot) ? lo : hi) = mid;
    }
    return lo * lot;
}

// The price a holding is valued at: the latest trading price it was marked at.
double last_mark(const Run& run, int col) {
    const double mark = run.s.rebalance_prices[static_cast<std::size_t>(col)];
    return std::isnan(mark) ? last_price(run.in.price_values, col, run.s.bar) : mark;
}

}  // namespace

// Works `order` on the current bar at `price` (split-adjusted): the fill
// model's room, whole lots and the cash in capital mode, then the booking.
// `floor` is the least cash a capital-mode purchase may leave.
double work_order(Run& run, Order& order, double price, double cash, double floor, bool in_walk) {
    RunState& s = run.s;
    const ExecutionInputs& e = run.in.exec;
    const int sid = order.sid;
    const int col = run.in.price_col[sid];
    const int bar = s.current_bar;
    const bool decision = order.decided_bar == bar;
    const bool buying = order.remaining > 0.0;
    const double want = std::fabs(order.remaining);
    const double p = quoted(run, col, price);
    const double slippage = e.slippage[sid];
    Liquidity liq;  // read only for a fill

    double room = 0.0;
    if (want > 0.0 && can_trade(run, col, price, buying)) {
        room = std::min(want, volume_room(run, col, order.traded_on(bar)));
        if (e.capital_mode()) {
            const double lot = e.lot_size[sid];
            room = whole_lots(room, want, lot);
        }
        if (room > 0.0 && e.impact > 0.0) liq = liquidity(run, col, run.exec->window(sid));
        if (e.capital_mode() && buying && room > 0.0) {
            room = affordable(run, sid, room, p, slippage, liq, cash, floor, e.lot_size[sid]);
        }
    }
    const bool completes = room > 0.0 && want - room <= kFilledTolerance * order.decided;
    auto found = s.positions.find(sid);
    const bool holding = found != s.positions.end() && found->value != 0.0;
    // Nothing to trade; a rebalance still re-bases a holding it keeps.
    if (room == 0.0 && !(decision && order.may_rebase && holding)) return cash;

    FillPlan plan;
    plan.shares = completes ? order.remaining : (buying ? room : -room);
    // A holding re-based without a price is valued where it was last marked.
    plan.price = std::isnan(p) ? quoted(run, col, last_mark(run, col)) : p;
    plan.slippage = slippage;
    plan.impact = impact_rate(run, liq, std::fabs(plan.shares));
    plan.completes = completes;
    plan.closes = order.closes;
    if (decision) plan.target_value = order.target_value;
    plan.weight_target = order.weight_target;
    plan.weight_base = order.weight_base;
    plan.may_rebase = decision && order.may_rebase;
    plan.drop_flat = !in_walk;
    plan.reason = decision ? order.reason : FillReason::carried;
    plan.exit_reason = order.exit_reason;
    cash = book_fill(run, sid, plan, cash);

    const double traded = std::fabs(plan.shares);
    order.tally = order.traded_on(bar) + traded;
    order.tally_bar = bar;
    order.remaining = completes ? 0.0 : order.remaining - plan.shares;
    if (!in_walk && traded > 0.0) {
        // The holding is valued at this bar's price from now on; one opened
        // by a carried order starts its return trackers here.
        s.rebalance_prices[static_cast<std::size_t>(col)] = price;
        if (!holding) s.reset_trackers(sid);
    }
    return cash;
}

double exit_by_order(Run& run, int sid, ExitReason reason, double price, double cash, bool in_walk,
                     double bar_price) {
    RunState& s = run.s;
    ExecutionState& x = *run.exec;
    const int col = run.in.price_col[sid];
    auto held = s.positions.find(sid);
    if (held == s.positions.end() || held->value == 0.0) return cash;
    double shares;
    if (run.in.exec.capital_mode()) {
        shares = x.shares[static_cast<std::size_t>(sid)];
        if (in_walk) held->value = shares * quoted(run, col, price) / x.unit;  // valued at the level
    } else {
        shares = held->value / quoted(run, col, in_walk ? price : last_mark(run, col));
    }
    if (!std::isfinite(shares) || shares == 0.0) return cash;

    Order o;
    o.sid = sid;
    o.remaining = -shares;
    o.decided = std::fabs(shares);
    o.target_value = 0.0;
    o.closes = true;
    o.exit = true;
    o.reason = fill_reason_of(reason);
    o.exit_reason = reason;
    o.decided_bar = s.current_bar;
    Order& placed = x.orders.place(o, s.current_bar);
    // An exit is never held back for cash.
    cash = work_order(run, placed, price, cash, -std::numeric_limits<double>::infinity(), in_walk);
    if (in_walk && !placed.filled() && !std::isnan(bar_price)) {
        // What is left is valued at the bar's price, as the walk values holdings.
        auto rest = s.positions.find(sid);
        if (run.in.exec.capital_mode()) {
            rest->value = x.shares[static_cast<std::size_t>(sid)] * quoted(run, col, bar_price) / x.unit;
        } else {
            rest->value = rest->value * (bar_price / price);
        }
    }
    return cash;
}

void fill_carried_orders(Run& run) {
    ExecutionState& x = *run.exec;
    if (x.orders.empty()) return;
    RunState& s = run.s;
    const ExecutionInputs& e = run.in.exec;
    const bool capital = e.capital_mode();
    const int row = static_cast<int>(s.bar);
    const MatrixRow<double> prices = run.in.price_values.row_view(s.bar);
    double floor = 0.0;
    if (capital && e.leverage > 1.0) {
        double total = s.cash;
        for (const auto& [sid, value] : s.positions) total += value;
        if (total > 0.0) floor = -(e.leverage - 1.0) * total;
    }
    // Capital mode sells first, so that purchases find the cash.
    auto work = [&](int side) {  // -1 sales, +1 purchases, 0 both
        for (Order& o : x.orders) {
            if (o.filled() || o.decided_bar == s.current_bar) continue;
            if ((side < 0 && o.remaining > 0.0) || (side > 0 && o.remaining < 0.0)) continue;
            const double price = prices[run.in.price_col[o.sid]];
            validate_trade_price(price, o.sid, row);
            const double least = o.exit ? -std::numeric_limits<double>::infinity() : floor;
            s.cash = work_order(run, o, price, s.cash, least, false);
        }
    };
    if (capital) {
        work(-1);
        work(1);
    } else {
        work(0);
    }
}

double close_by_delisting(Run& run, int sid, double cash) {
    RunState& s = run.s;
    ExecutionState& x = *run.exec;
    x.orders.cancel(sid);
    auto held = s.positions.find(sid);
    if (held == s.positions.end()) return cash;
    const int col = run.in.price_col[sid];
    double price = run.in.price_values(s.bar, col);
    if (std::isnan(price)) price = last_mark(run, col);
    FillPlan plan;
    plan.price = quoted(run, col, price);
    plan.shares =
        run.in.exec.capital_mode() ? -x.shares[static_cast<std::size_t>(sid)] : -held->value / plan.price;
    plan.slippage = run.in.exec.slippage[sid];
    plan.completes = true;
    plan.closes = true;
    plan.target_value = 0.0;
    plan.reason = FillReason::delisting;
    plan.exit_reason = ExitReason::delisting;
    return book_fill(run, sid, plan, cash);
}

}  // namespace vantrel::kernel
