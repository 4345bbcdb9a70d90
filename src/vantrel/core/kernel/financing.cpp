// Interest on cash, margin interest and borrow fees, accrued at the start of
// a bar for the calendar days since the previous bar of the run, on the cash
// and the short holdings that previous bar ended with.
#include "execution.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

constexpr double kNanosecondsPerDay = 86400.0 * 1e9;
constexpr double kDaysPerYear = 365.0;

void book(Run& run, CostKind kind, double amount) {
    if (run.fills != nullptr) run.fills->add(run.s.current_bar, kind, amount);
}

// A short's market value at the previous bar's close, as that bar valued it.
double value_at_close(const Run& run, int sid, double value, Index bar) {
    const int col = run.in.price_col[sid];
    const double close = run.in.close_values(bar, col);
    if (run.in.exec.capital_mode()) {
        if (std::isnan(close)) return value;
        const ExecutionState& x = *run.exec;
        const double f = x.split_factor.empty() ? 1.0 : x.split_factor[static_cast<std::size_t>(col)];
        return x.shares[static_cast<std::size_t>(sid)] * (close / f) / x.unit;
    }
    const double price = run.in.price_values(bar, col);
    return std::isnan(price) || std::isnan(close) ? value : (value * close) / price;
}

}  // namespace

void accrue_financing(Run& run) {
    ExecutionState& x = *run.exec;
    RunState& s = run.s;
    const ExecutionInputs& e = run.in.exec;
    if (!x.started) {
        x.started = true;
        x.previous_date = s.date;
        x.previous_bar = s.bar;
        return;
    }
    const double days = static_cast<double>(s.date - x.previous_date) / kNanosecondsPerDay;
    const Index previous = x.previous_bar;
    x.previous_date = s.date;
    x.previous_bar = s.bar;
    if (!e.financing) return;

    // The rate in force on the previous bar, for the time since it.
    const double cash_rate = e.cash_rate[previous];
    if (s.cash > 0.0 && cash_rate > 0.0) {
        const double interest = s.cash * cash_rate * days / kDaysPerYear;
        s.cash = s.cash + interest;
        book(run, CostKind::cash_interest, interest);
    } else if (s.cash < 0.0 && e.margin_rate > 0.0) {
        const double charge = -s.cash * e.margin_rate * days / kDaysPerYear;
        s.cash = s.cash - charge;
        book(run, CostKind::margin_interest, charge);
    }
    if (!e.borrows) return;
    for (const auto& [sid, value] : s.positions) {
        if (!(value < 0.0)) continue;
        const double rate = e.borrow_rate[sid];
        if (!(rate > 0.0)) continue;
        const double fee = -value_at_close(run, sid, value, previous) * rate * days / kDaysPerYear;
        s.cash = s.cash - fee;
        if (run.log != nullptr) run.log->income(sid, CostKind::borrow, -fee);
        book(run, CostKind::borrow, fee);
    }
}

}  // namespace vantrel::kernel
