// The small codes a run reports, each listed once with its name: why a trade
// record ended, what is pending for a stock at the end, why a fill happened
// and the kinds of cost and income booked per bar. The enums and
// the name tables are made from the same lists, and the package reads the
// names from the array entry (EXIT_REASONS, ACTIONS), so the two can never
// drift apart (FILL_REASONS and COST_KINDS likewise).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel::kernel {

#define VANTREL_EXIT_REASONS(X) \
    X(open)                     \
    X(stop_loss)                \
    X(take_profit)              \
    X(trailing_stop)            \
    X(rebalance)                \
    X(delisting)

// Pending at the end of a run, per stock (none: nothing pending).
#define VANTREL_ACTIONS(X)                                                      \
    X(none)              /* nothing pending */                                  \
    X(enter)             /* the pending rebalance buys it */                    \
    X(exit)              /* the pending rebalance sells it */                   \
    X(hold)              /* the pending rebalance keeps it */                   \
    X(take_profit)       /* a take-profit exit queued for the next bar */       \
    X(stop_loss)         /* a stop-loss exit queued for the next bar */         \
    X(take_profit_enter) /* an exit queued, but the next row wants it */        \
    X(stop_loss_enter)   /* the same on the stop-loss side */                   \
    X(took_profit)       /* left by a take-profit since the latest rebalance */ \
    X(stopped_out)       /* left by a stop-loss since the latest rebalance */

// Why a fill happened: the decision it came from, or "carried" for an order
// decided on an earlier bar and filled on this one.
#define VANTREL_FILL_REASONS(X) \
    X(rebalance)                \
    X(stop_loss)                \
    X(take_profit)              \
    X(trailing_stop)            \
    X(delisting)                \
    X(carried)

// Costs paid and income received, per bar, in units of the initial capital.
#define VANTREL_COST_KINDS(X) \
    X(fees)                   \
    X(taxes)                  \
    X(slippage)               \
    X(impact)                 \
    X(borrow)                 \
    X(margin_interest)        \
    X(cash_interest)          \
    X(dividends)

#define VANTREL_ENUMERATOR(name) name,
#define VANTREL_NAME(name) std::string_view(#name),
#define VANTREL_COUNT(name) +1

enum class ExitReason : uint8_t { VANTREL_EXIT_REASONS(VANTREL_ENUMERATOR) };
enum class Action : uint8_t { VANTREL_ACTIONS(VANTREL_ENUMERATOR) };
enum class FillReason : uint8_t { VANTREL_FILL_REASONS(VANTREL_ENUMERATOR) };
enum class CostKind : uint8_t { VANTREL_COST_KINDS(VANTREL_ENUMERATOR) };

inline constexpr std::array<std::string_view, 0 VANTREL_EXIT_REASONS(VANTREL_COUNT)> kExitReasonNames = {
    VANTREL_EXIT_REASONS(VANTREL_NAME)};
inline constexpr std::array<std::string_view, 0 VANTREL_ACTIONS(VANTREL_COUNT)> kActionNames = {
    VANTREL_ACTIONS(VANTREL_NAME)};
inline constexpr std::array<std::string_view, 0 VANTREL_FILL_REASONS(VANTREL_COUNT)> kFillReasonNames = {
    VANTREL_FILL_REASONS(VANTREL_NAME)};
inline constexpr std::array<std::string_view, 0 VANTREL_COST_KINDS(VANTREL_COUNT)> kCostKindNames = {
    VANTREL_COST_KINDS(VANTREL_NAME)};
inline constexpr int kCostKinds = static_cast<int>(kCostKindNames.size());

// The fill reason of an exit: a stop's own kind, a delisting, else a rebalance.
inline FillReason fill_reason_of(ExitReason reason) {
    switch (reason) {
        case ExitReason::stop_loss: return FillReason::stop_loss;
        case ExitReason::take_profit: return FillReason::take_profit;
        case ExitReason::trailing_stop: return FillReason::trailing_stop;
        case ExitReason::delisting: return FillReason::delisting;
        default: return FillReason::rebalance;
    }
}

#undef VANTREL_ENUMERATOR
#undef VANTREL_NAME
#undef VANTREL_COUNT

}  // namespace vantrel::kernel
