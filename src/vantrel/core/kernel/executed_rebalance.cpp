// A rebalance through the execution layer: each stock's target becomes an
// order in shares (whole lots in capital mode, with the costs of a purchase
// reserved within its target), worked at once; what does not fill is carried.
#include "execution.hpp"
#include "fill_model.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

constexpr double kLotTolerance = 1e-9;
constexpr double kTargetTolerance = 1e-12;

// Capital mode: the shares a target value becomes, whole lots whose value
// fits it; a purchase keeps the value plus its costs within the target.
double target_shares(const Run& run, int sid, int col, double target, double price, double held) {
    const ExecutionState& x = *run.exec;
    const ExecutionInputs& e = run.in.exec;
    const RunOptions& o = run.in.options;
    const double lot = e.lot_size[sid];
    const double lots = std::floor(std::fabs(target) * x.unit / (price * lot) + kLotTolerance);
    const double shares = target > 0.0 ? lots * lot : (target < 0.0 ? -(lots * lot) : 0.0);
    if (!(shares > 0.0 && shares > held)) return shares;

    const double slippage = e.slippage[sid];
    const Liquidity liq = e.impact > 0.0 ? liquidity(run, col, run.exec->window(sid)) : Liquidity{};
    auto fits = [&](double k) {
        const double q = k * lot - held;
        if (q <= 0.0) return true;
        const double gross = q * (price * (1.0 + (slippage + impact_rate(run, liq, q)))) / x.unit;
        const double fee = o.fee_ratio * gross;
        const double spent =
            (k * lot) * price / x.unit + (gross - q * price / x.unit) + (fee > x.min_fee ? fee : x.min_fee);
        return spent <= target + kTargetTolerance * target;
    };
    if (fits(lots)) return shares;
    // The fewest lots that do not sell: when even they do not fit, no purchase.
    double lo = held > 0.0 ? std::ceil(held / lot - kLotTolerance) : 0.0;
    if (lo >= lots || !fits(lo)) return held > 0.0 ? held : 0.0;
    // Without impact the costs grow linearly with the shares (the fee, or the
    // minimum fee): the lots that fit then, a step down or two for impact.
    const double s = slippage, f = o.fee_ratio, u = x.unit;
    const double by_fee =
        (target * u + held * price * (s + f * (1.0 + s))) / (lot * price * (1.0 + s + f * (1.0 + s)));
    const double by_minimum = ((target - x.min_fee) * u + held * price * s) / (lot * price * (1.0 + s));
    double k = std::floor((by_fee < by_minimum ? by_fee : by_minimum) + kLotTolerance);
    if (!(k < lots)) k = lots - 1.0;
    if (k < lo) k = lo;
    if (fits(k + 1.0) && k + 1.0 < lots) return (k + 1.0) * lot;
    for (int step = 0; step < 4 && k > lo; ++step) {
        if (fits(k)) return k * lot;
        k -= 1.0;
    }
    double hi = k + 1.0;  // does not fit
    while (hi - lo > 1.0) {
        const double mid = std::floor((lo + hi) / 2.0);
        (fits(mid) ? lo : hi) = mid;
    }
    return lo * lot;
}

}  // namespace

double execute_rebalance(Run& run, const std::vector<double>& weights, double cash) {
    RunState& s = run.s;
    ExecutionState& x = *run.exec;
    const RunInputs& in = run.in;
    const ExecutionInputs& e = in.exec;
    const bool capital = e.capital_mode();
    const int bar = s.current_bar;
    const int row = static_cast<int>(s.bar);
    x.orders.replace_all(bar);

    Holdings& positions = s.positions;
    double total = cash;
    for (const auto& [sid, value] : positions) total += value;
    double denominator = abs_weight_sum(run.sink, weights);
    if (e.leverage != 1.0) denominator = denominator / e.leverage;
    if (1.0 > denominator) denominator = 1.0;
    double ratio = total / denominator;
    if (std::isnan(ratio)) ratio = 1.0;
    const double cap = total * in.options.position_limit;
    const int n = static_cast<int>(weights.size());
    std::vector<char> held(static_cast<std::size_t>(n), 0);
    for (const auto& [sid, value] : positions) {
        if (sid >= 0 && sid < n) held[sid] = 1;
    }
    const bool zero_stays_zero = std::isfinite(ratio) && !(0.0 > cap);
    // Capital-mode purchases keep cash at or above 0, or above minus the
    // leverage beyond 1 times the portfolio value.
    const double floor = capital && e.leverage > 1.0 && total > 0.0 ? -(e.leverage - 1.0) * total : 0.0;
    const MatrixRow<double> prices = in.price_values.row_view(s.bar);

    for (int sid = 0; sid < n; ++sid) {
        if (zero_stays_zero && weights[sid] == 0.0 && !held[sid]) continue;
        double target = weights[sid] * ratio;
        if (std::fabs(target) > cap) target = cap * (target > 0.0 ? 1.0 : -1.0);
        if (target == 0.0 && !held[sid]) continue;
        const int col = in.price_col[sid];
        const double price = prices[col];
        validate_trade_price(price, sid, row);
        auto found = positions.find(sid);
        const double value = found != positions.end() ? found->value : 0.0;
        if (target == 0.0 && value == 0.0) {
            positions.erase(sid);  // nothing held: nothing to close
            continue;
        }
        // An order is sized at the latest price when the bar has none; it
        // waits for one.
        const double sizing = std::isnan(price) ? last_price(in.price_values, col, s.bar) : price;
        if (std::isnan(sizing)) continue;
        const double quoted =
            x.split_factor.empty() ? sizing : sizing / x.split_factor[static_cast<std::size_t>(col)];

        Order o;
        o.sid = sid;
        o.decided_bar = bar;
        o.weight_target = target;
        o.weight_base = total;
        o.may_rebase = target != 0.0;
        if (capital) {
            const double shares = x.shares[static_cast<std::size_t>(sid)];
            const double wanted = target_shares(run, sid, col, target, quoted, shares);
            o.remaining = wanted - shares;
            o.closes = wanted == 0.0;
        } else {
            o.remaining = (target - value) / quoted;
            o.target_value = target;
            o.closes = target == 0.0;
        }
        o.decided = std::fabs(o.remaining);
        if (o.remaining == 0.0) {
            if (value != 0.0) {
                // Nothing to trade; the record is re-based as any rebalance does.
                FillPlan plan;
                plan.price = quoted;
                plan.completes = !capital;
                plan.target_value = o.target_value;
                plan.weight_target = target;
                plan.weight_base = total;
                plan.may_rebase = true;
                cash = book_fill(run, sid, plan, cash);
            }
            continue;
        }
        Order& placed = x.orders.place(o, bar);
        // Fractional weights trade in stock order, as without the layer.
        if (!capital) cash = work_order(run, placed, price, cash, floor, false);
    }
    if (capital) {
        for (const int side : {-1, 1}) {
            for (Order& o : x.orders) {
                if (o.filled() || o.decided_bar != bar || (side < 0) != (o.remaining < 0.0)) continue;
                cash = work_order(run, o, prices[in.price_col[o.sid]], cash, floor, false);
            }
        }
    }
    return cash;
}

}  // namespace vantrel::kernel
