// Booking one fill of the execution layer: the money and shares it moves,
// in capital mode or in fractional weights, then the trade log and the fills.
#include "execution.hpp"
#include "trade_booking.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

// Capital mode: shares change by whole numbers; a purchase pays its price
// after slippage and impact plus the fee (at least the minimum) out of cash,
// a sale receives it less fee and tax, and the holding is worth its shares
// at the market price.
double capital_money(Run& run, int sid, const FillPlan& p, double n_before, double n_after, double cash,
                     double& exec_price, Booking& b) {
    ExecutionState& x = *run.exec;
    const RunOptions& o = run.in.options;
    Holdings& positions = run.s.positions;
    const double f = n_after - n_before;
    auto found = positions.find(sid);
    b.value_before = found != positions.end() ? found->value : 0.0;
    b.growing = (n_after >= 0.0 && f > 0.0) || (n_after <= 0.0 && f < 0.0);
    b.shares_after = std::fabs(n_after);
    exec_price = p.price;
    if (f == 0.0) {  // a re-basing only: no money moves, the holding keeps its value
        b.value_after = b.value_before;
        return cash;
    }
    const double rate = p.slippage + p.impact;
    exec_price = f > 0.0 ? p.price * (1.0 + rate) : p.price * (rate < 1.0 ? 1.0 - rate : 0.0);
    const double traded = std::fabs(f);
    const double gross = traded * exec_price / x.unit;
    const double fee = o.fee_ratio * gross;
    b.fee = fee > x.min_fee ? fee : x.min_fee;
    b.tax = b.growing ? 0.0 : o.tax_ratio * gross;
    b.slippage = traded * p.price * p.slippage / x.unit;
    b.impact = traded * p.price * p.impact / x.unit;
    cash = f > 0.0 ? cash - (gross + b.fee + b.tax) : cash + (gross - b.fee - b.tax);

    b.value_after = n_after * p.price / x.unit;
    b.amount = b.value_after - b.value_before;
    x.shares[static_cast<std::size_t>(sid)] = n_after;
    if (n_after == 0.0 && p.drop_flat) {
        positions.erase(sid);
    } else {
        positions[sid] = b.value_after;
    }
    return cash;
}

}  // namespace

double book_fill(Run& run, int sid, const FillPlan& p, double cash) {
    ExecutionState& x = *run.exec;
    const bool capital = run.in.exec.capital_mode();
    auto found = run.s.positions.find(sid);
    const double before = found != run.s.positions.end() ? found->value : 0.0;
    const bool holding = before != 0.0;

    double n_before = 0.0, n_after = 0.0, target_value = 0.0;
    bool opening;
    if (capital) {
        n_before = x.shares[static_cast<std::size_t>(sid)];
        n_after = p.completes && p.closes ? 0.0 : n_before + p.shares;
        opening = n_after != 0.0;
    } else if (p.completes && p.closes) {
        opening = false;
    } else if (p.completes && !std::isnan(p.target_value)) {
        target_value = p.target_value;
        opening = target_value != 0.0;
    } else {
        target_value = p.shares == 0.0 ? before : before + p.shares * p.price;
        opening = target_value != 0.0;
    }

    const Announced a =
        announce_trade(run, sid, holding, opening, p.weight_target, p.weight_base, p.may_rebase);
    Booking b;
    const double cash_before = cash;
    double exec_price;
    if (capital) {
        cash = capital_money(run, sid, p, n_before, n_after, cash, exec_price, b);
        target_value = b.value_after;
    } else {
        cash = fractional_money(run, sid, target_value, cash, true, p.drop_flat, p.slippage, p.impact, b);
        b.shares_after = std::fabs(b.value_after) / p.price;
    }
    b.cash_change = cash - cash_before;
    if (run.log != nullptr && a.event != TradeEvent::none) {
        log_trade(run, sid, a, target_value, {p.price, p.price, p.price}, p.exit_reason, b);
    }
    if (run.fills == nullptr) return cash;
    if (capital) {
        if (n_after != n_before) {
            const double f = n_after - n_before;
            record_fill(run, sid, f, exec_price, std::fabs(f) * p.price / x.unit, p.reason, b);
        }
    } else {
        const double traded = target_value == 0.0 ? -b.value_before : b.amount;
        if (traded != 0.0) {
            const double rate = p.slippage + p.impact;
            const double price =
                traded > 0.0 ? p.price * (1.0 + rate) : p.price * (rate < 1.0 ? 1.0 - rate : 0.0);
            record_fill(run, sid, traded / p.price, price, std::fabs(traded), p.reason, b);
        }
    }
    return cash;
}

}  // namespace vantrel::kernel
