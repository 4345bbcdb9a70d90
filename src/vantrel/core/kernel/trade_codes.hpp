// The small codes a run reports, each listed once with its name: why a trade
// record ended, and what is pending for a stock at the end. The enums and
// the name tables are made from the same lists, and the package reads the
// names from the array entry (EXIT_REASONS, ACTIONS), so the two can never
// drift apart.
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

#define VANTREL_ENUMERATOR(name) name,
#define VANTREL_NAME(name) std::string_view(#name),
#define VANTREL_COUNT(name) +1

enum class ExitReason : uint8_t { VANTREL_EXIT_REASONS(VANTREL_ENUMERATOR) };
enum class Action : uint8_t { VANTREL_ACTIONS(VANTREL_ENUMERATOR) };

inline constexpr std::array<std::string_view, 0 VANTREL_EXIT_REASONS(VANTREL_COUNT)> kExitReasonNames = {
    VANTREL_EXIT_REASONS(VANTREL_NAME)};
inline constexpr std::array<std::string_view, 0 VANTREL_ACTIONS(VANTREL_COUNT)> kActionNames = {
    VANTREL_ACTIONS(VANTREL_NAME)};

#undef VANTREL_ENUMERATOR
#undef VANTREL_NAME
#undef VANTREL_COUNT

}  // namespace vantrel::kernel
