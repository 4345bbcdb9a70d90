// Moving money between cash and holdings: one stock to a target value
// (set_position) and a whole weight row (rebalance).
#include "pairwise_sum.hpp"
#include "trade_booking.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

// Long rows are summed by the sink: array libraries split them differently.
constexpr std::size_t kNativeSumLimit = 8192;

double entry_weight(double target_value, double weight_base) {
    if (weight_base == 0.0) {
        KernelError e(KernelError::Kind::zero_weight_base);
        e.value = target_value;
        throw e;
    }
    return target_value / weight_base;
}

}  // namespace

double RunSink::long_abs_weight_sum(const double* weights, std::size_t n) {
    std::vector<double> magnitudes(n);
    for (std::size_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(weights[i]);
    return pairwise_sum(magnitudes.data(), static_cast<std::ptrdiff_t>(n));
}

double abs_weight_sum(RunSink& sink, const std::vector<double>& weights) {
    const std::size_t n = weights.size();
    if (n > kNativeSumLimit) return sink.long_abs_weight_sum(weights.data(), n);
    std::vector<double> magnitudes(n);
    for (std::size_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(weights[i]);
    return pairwise_sum(magnitudes.data(), static_cast<std::ptrdiff_t>(n));
}

Announced announce_trade(Run& run, int sid, bool holding, bool opening, double weight_target,
                         double weight_base, bool may_rebase) {
    RunSink& sink = run.sink;
    TradeLog* log = run.log;
    const int bar = run.s.current_bar;
    Announced a;
    if (!holding && opening) {
        a.weight = entry_weight(weight_target, weight_base);
        sink.entered(sid, a.weight, 1);
        a.event = TradeEvent::entry;
    } else if (holding && !opening) {
        sink.exited(sid, 1);
        if (log) log->analyse(sid, bar, 1);
        a.event = TradeEvent::exit;
    } else if (holding && opening) {
        a.event = TradeEvent::resize;
        if (may_rebase && !sink.retain_cost_when_rebalance() && sink.periodically_rebalance()) {
            sink.exited(sid, 0);
            if (log) log->analyse(sid, bar, 0);
            a.weight = entry_weight(weight_target, weight_base);
            sink.entered(sid, a.weight, 0);
            a.event = TradeEvent::rebase;
        }
    }
    return a;
}

double fractional_money(Run& run, int sid, double target_value, double cash, bool held, bool drop_flat,
                        double slippage_rate, double impact_rate, Booking& b) {
    Holdings& positions = run.s.positions;
    const double fee_ratio = run.in.options.fee_ratio;
    const double tax_ratio = run.in.options.tax_ratio;
    // Slippage and impact are charged like the fee; without them the
    // arithmetic is the one the documented modules do.
    const bool extra = slippage_rate != 0.0 || impact_rate != 0.0;
    if (target_value == 0.0) {
        if (held) {
            double& value = positions[sid];  // a missing key reads as 0 and is inserted
            const double v = value;
            if (extra) {
                b.slippage = std::fabs(v) * slippage_rate;
                b.impact = std::fabs(v) * impact_rate;
                cash = cash + (v - (std::fabs(v) * (fee_ratio + tax_ratio) + (b.slippage + b.impact)));
            } else {
                cash = cash + (v - std::fabs(v) * (fee_ratio + tax_ratio));
            }
            if (drop_flat) {
                positions.erase(sid);
            } else {
                value = 0.0;
            }
            b.value_before = v;
            b.fee = std::fabs(v) * fee_ratio;
            b.tax = std::fabs(v) * tax_ratio;
        }
    } else {
        double& value = positions[sid];  // inserts 0 when not held
        const double before = value;
        const double amount = target_value - value;
        const bool buying = amount > 0.0;
        const bool growing = (target_value >= 0.0 && amount > 0.0) || (target_value <= 0.0 && amount < 0.0);
        double cost = growing ? std::fabs(amount) * fee_ratio : std::fabs(amount) * (fee_ratio + tax_ratio);
        if (extra) {
            b.slippage = std::fabs(amount) * slippage_rate;
            b.impact = std::fabs(amount) * impact_rate;
            cost = cost + (b.slippage + b.impact);
        }
        if (buying) {
            cash = cash - amount;
            value = value + (amount - cost);
        } else {
            cash = cash + (-amount - cost);
            value = value + amount;
        }
        b.value_before = before;
        b.value_after = value;
        b.amount = amount;
        b.growing = growing;
        b.fee = std::fabs(amount) * fee_ratio;
        b.tax = growing ? 0.0 : std::fabs(amount) * tax_ratio;
        if (drop_flat && value == 0.0) positions.erase(sid);
    }
    return cash;
}

void log_trade(Run& run, int sid, const Announced& a, double target_value, const TradePrices& prices,
               ExitReason reason, const Booking& b) {
    TradeLog* log = run.log;
    const int bar = run.s.current_bar;
    switch (a.event) {
        case TradeEvent::entry: log->entered(sid, bar, a.weight, target_value, prices.entry, b); break;
        case TradeEvent::exit: log->exited(sid, bar, reason, prices.exit, b); break;
        case TradeEvent::rebase: log->rebased(sid, bar, a.weight, target_value, prices.mark, b); break;
        case TradeEvent::resize: log->resized(sid, b); break;
        case TradeEvent::none: break;
    }
}

void record_fill(Run& run, int sid, double shares, double price, double value, FillReason reason,
                 const Booking& b) {
    FillRecord f;
    f.bar = run.s.current_bar;
    f.stock = sid;
    f.side = shares > 0.0 ? 1 : -1;
    f.reason = static_cast<uint8_t>(reason);
    f.shares = std::fabs(shares);
    f.price = price;
    f.value = value;
    f.fee = b.fee;
    f.tax = b.tax;
    f.slippage = b.slippage;
    f.impact = b.impact;
    run.fills->fill(f);
}

double set_position(Run& run, int sid, double target_value, double cash, bool verify_held, bool drop_flat,
                    double weight_base, const ExitFill& fill) {
    Holdings& positions = run.s.positions;
    auto found = positions.find(sid);
    const bool present = found != positions.end();
    const bool held = !verify_held || present;
    const bool holding = present && found->value != 0.0;
    const bool opening = target_value != 0.0;

    const Announced a = announce_trade(run, sid, holding, opening, target_value, weight_base, true);
    Booking b;
    const double cash_before = cash;
    cash = fractional_money(run, sid, target_value, cash, held, drop_flat, 0.0, 0.0, b);

    if (run.log == nullptr) return cash;
    b.cash_change = cash - cash_before;
    // The price the holding is valued at: this bar's trading price once
    // the walk has seen it, else the latest one before. (A column past the
    // price matrix has none; reading its prices raises elsewhere.)
    const std::size_t col = static_cast<std::size_t>(run.in.price_col[sid]);
    const std::vector<double>& marks = run.s.rebalance_prices;
    const double mark = col < marks.size() ? marks[col] : std::nan("");
    // Read for the log only: a cell outside the matrix raises where the run
    // itself reads it, not here.
    double trading = run.in.price_values.get(run.s.bar, run.in.price_col[sid]);
    double exit_price = std::isnan(fill.price) ? mark : fill.price;
    double fill_price = !std::isnan(fill.price) ? fill.price : (std::isnan(trading) ? mark : trading);
    TradePrices prices{trading, exit_price, mark};
    if (run.exec != nullptr) {
        // Split-adjusted prices shown as they were quoted.
        prices = {raw_price(run, sid, trading), raw_price(run, sid, exit_price), raw_price(run, sid, mark)};
        fill_price = raw_price(run, sid, fill_price);
    }
    // The shares the trade leaves, at the price it was struck at (fractional
    // weights: a portfolio of 1 unit of currency).
    b.shares_after = std::fabs(b.value_after) / fill_price;
    if (a.event != TradeEvent::none) {
        log_trade(run, sid, a, target_value, prices, fill.reason, b);
    }
    const double traded = target_value == 0.0 ? -b.value_before : b.amount;
    if (run.fills != nullptr && traded != 0.0) {
        record_fill(run, sid, traded / fill_price, fill_price, std::fabs(traded), fill_reason_of(fill.reason),
                    b);
    }
    return cash;
}

// abs_weight_sum of a row whose nonzero cells are all among `listed`.
double listed_abs_weight_sum(RunSink& sink, const std::vector<double>& weights,
                             const std::vector<int>& listed) {
    const std::size_t n = weights.size();
    if (n > kNativeSumLimit) return sink.long_abs_weight_sum(weights.data(), n);
    return sparse_pairwise_sum(listed.data(), listed.data() + listed.size(), 0,
                               static_cast<std::ptrdiff_t>(n),
                               [&](int k) { return std::fabs(weights[static_cast<std::size_t>(k)]); });
}

double rebalance(Run& run, const std::vector<double>& weights, const std::vector<int>& listed, double cash) {
    const Holdings& positions = run.s.positions;
    double total = cash;
    for (const auto& [sid, value] : positions) total += value;
    double denominator = listed_abs_weight_sum(run.sink, weights, listed);
    // Rows are scaled down only beyond the leverage allowed (1 without the
    // execution layer).
    if (run.exec != nullptr && run.in.exec.leverage != 1.0) denominator = denominator / run.in.exec.leverage;
    if (1.0 > denominator) denominator = 1.0;
    double ratio = total / denominator;
    if (std::isnan(ratio)) ratio = 1.0;
    const double cap = total * run.in.options.position_limit;
    const int n = static_cast<int>(weights.size());
    // One stock to its weight; each call changes only its own column, which
    // the loop has then passed, so `held` is read from before the loop.
    auto trade = [&](int sid, bool held) {
        double target = weights[sid] * ratio;
        if (std::fabs(target) > cap) target = cap * (target > 0.0 ? 1.0 : -1.0);
        // Closing a stock that is not held changes nothing: skip the call.
        if (target == 0.0 && !held) return;
        cash = set_position(run, sid, target, cash, true, true, total);
    };
    // A zero weight times a finite ratio is a zero target, which the cap leaves
    // at zero unless the cap is negative (a portfolio worth less than nothing):
    // then, for a stock not held, it is no trade at all.
    const bool zero_stays_zero = std::isfinite(ratio) && !(0.0 > cap);
    if (!zero_stays_zero) {
        std::vector<char> held(static_cast<std::size_t>(n), 0);
        for (const auto& [sid, value] : positions) {
            if (sid >= 0 && sid < n) held[sid] = 1;
        }
        for (int sid = 0; sid < n; ++sid) trade(sid, held[sid] != 0);
        return cash;
    }
    // Otherwise only the listed columns and the held ones trade, in stock order.
    std::vector<int> held;
    held.reserve(positions.size());
    for (const auto& [sid, value] : positions) {
        if (sid >= 0 && sid < n) held.push_back(sid);
    }
    std::size_t i = 0, h = 0;
    while (i < listed.size() || h < held.size()) {
        const int a = i < listed.size() ? listed[i] : n;
        const int b = h < held.size() ? held[h] : n;
        const int sid = a < b ? a : b;
        const bool is_held = b == sid;
        if (a == sid) ++i;
        if (is_held) ++h;
        if (sid >= n) break;
        if (weights[sid] == 0.0 && !is_held) continue;
        trade(sid, is_held);
    }
    return cash;
}

}  // namespace vantrel::kernel
