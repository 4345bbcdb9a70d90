// The pieces every trade goes through, shared by set_position and the
// execution layer's fills: telling the sink (and the trade log's excursion
// analysis) of an entry, exit or re-basing before any money moves; moving the
// money in fractional weights; and writing the booking into the trade log.
#pragma once

#include "run.hpp"

namespace vantrel::kernel {

enum class TradeEvent { none, entry, exit, rebase, resize };

struct Announced {
    TradeEvent event = TradeEvent::none;
    double weight = 0.0;  // the entry weight of a record the trade opens
};

// Notifications first: a failure there leaves the money untouched. A trade
// out of nothing enters at `weight_target / weight_base`; a continuing holding
// is re-based only where `may_rebase` allows and the sink's settings ask.
Announced announce_trade(Run& run, int sid, bool holding, bool opening, double weight_target,
                         double weight_base, bool may_rebase);

// Fractional weights: brings the holding to `target_value`, the fee (and
// `extra_cost_rate`, a fraction of the value traded: slippage and impact) out
// of the position on a purchase and out of the proceeds on a sale, the tax on
// trades that reduce or close. Returns the new cash; fills `b`.
double fractional_money(Run& run, int sid, double target_value, double cash, bool held, bool drop_flat,
                        double slippage_rate, double impact_rate, Booking& b);

// Where the trade log takes a trade from: the prices it shows.
struct TradePrices {
    double entry = 0.0;  // the trading price of an entry
    double exit = 0.0;   // the fill of an exit
    double mark = 0.0;   // the price a re-based holding is valued at
};
void log_trade(Run& run, int sid, const Announced& a, double target_value, const TradePrices& prices,
               ExitReason reason, const Booking& b);

// The fill record of a trade booked in `b`, at `price` (after slippage and
// impact) and `market_price` (before), for `shares` (signed).
void record_fill(Run& run, int sid, double shares, double price, double value, FillReason reason,
                 const Booking& b);

}  // namespace vantrel::kernel
