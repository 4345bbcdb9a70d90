// The trade log of a run: one record per trade as the excursion session sees
// it (a record ends at every exit and at every re-basing of a holding), with
// what the equity booked for it: fills, fees and taxes, profit and realized
// return, why it ended, and the excursion statistics of the same trade.
// Records are appended as they close, then the trades still open at the end
// in ascending stock id, the order of the documented result lists.
#pragma once

#include "excursion_analysis.hpp"
#include "run_inputs.hpp"
#include "run_state.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel::kernel {

struct TradeRecord {
    int32_t stock = 0;
    int32_t entry_bar = 0;
    int32_t exit_bar = -1;    // -1 while open at the end
    int32_t round_trip = 0;   // records of one position out of nothing and back share it
    int8_t side = 0;          // +1 long, -1 short (sign of the target value)
    uint8_t full_entry = 0;   // 1: entered out of nothing; 0: re-based
    uint8_t full_exit = 0;    // 1: closed to nothing; 0: re-based or still open
    uint8_t exit_reason = 0;  // ExitReason
    uint32_t unused = 0;      // no padding: a record's bytes are all defined
    double weight = 0.0;      // target value over portfolio value at entry
    double entry_price = 0.0;
    double exit_price = 0.0;  // the fill: a stop level, a gapped open, or the trading price
    double fees = 0.0;
    double taxes = 0.0;
    double profit = 0.0;           // in units of the initial capital (1.0)
    double capital = 0.0;          // the value committed: |target| plus later additions
    double realized_return = 0.0;  // profit / capital
    // What the execution layer adds (0 without it; shares: value / price in
    // fractional weights, for a portfolio of 1 unit of currency).
    double shares = 0.0;    // the most shares the record held
    double slippage = 0.0;  // costs of its fills beyond fees and taxes
    double impact = 0.0;
    double dividends = 0.0;  // received (paid on a short: negative)
    double borrow = 0.0;     // borrow fees paid on a short
};

// What one set_position call did to the money, for the log.
struct Booking {
    double cash_change = 0.0;   // cash after - cash before
    double value_before = 0.0;  // the holding's value before the trade
    double value_after = 0.0;   // and after (0 when closed)
    double amount = 0.0;        // target - value before (0 for a close)
    double fee = 0.0;
    double tax = 0.0;
    double slippage = 0.0;
    double impact = 0.0;
    double shares_after = 0.0;  // |shares| the holding has after the trade
    bool growing = false;       // the trade added to the position (or reversed it)
};

class TradeLog {
public:
    TradeLog(const RunInputs& in, int n_columns);

    // Doubles of excursion statistics per record (every record has as many).
    int64_t excursion_length() const { return length_; }
    const std::vector<TradeRecord>& records() const { return records_; }
    const std::vector<double>& excursions() const { return excursions_; }

    // Excursion statistics of the open record of `sid`, ended at `bar`; the
    // documented session computes them at the same moment.
    void analyse(int sid, int bar, int full_exit);

    void entered(int sid, int bar, double weight, double target, double entry_price, const Booking& b);
    void resized(int sid, const Booking& b);
    // `mark` is the trading price the holding is valued at (the run's
    // reference price of its column).
    void rebased(int sid, int bar, double weight, double target, double mark, const Booking& b);
    void exited(int sid, int bar, ExitReason reason, double fill_price, const Booking& b);
    // Cash a holding earned or paid while open (dividends, borrow fees).
    void income(int sid, CostKind kind, double amount);
    // A split changed the shares an open record holds.
    void split(int sid, double shares);
    // The trades still open after the last bar, valued as the last bar values
    // them: at `closing[k]` for the k-th holding when given (the execution
    // layer's values and quoted closes), else by the price matrices.
    void close_open(const Holdings& positions, std::ptrdiff_t bar, int current_bar,
                    const std::vector<double>& marks,
                    const std::vector<std::pair<double, double>>* closing = nullptr);

private:
    struct Open {
        TradeRecord record;
        std::vector<double> stats;  // analysed at the exit notification
    };
    void push(Open& open);

    const RunInputs& in_;
    ExcursionSettings settings_;
    int64_t length_ = 6;
    std::vector<Open> open_;
    std::vector<std::array<double, 6>> samples_;  // working room of the analysis
    std::vector<TradeRecord> records_;
    std::vector<double> excursions_;
    int32_t round_trips_ = 0;
};

}  // namespace vantrel::kernel
