// The impact model's look-back of one stock: for each bar of the window
// before a fill, its close-to-close return and its volume (NaN where
// unknown). A window moved on by a bar reads one new bar instead of the whole
// window; the statistics are computed from its bars in the same order either
// way, so they do not depend on how it got there.
#pragma once

#include "strided.hpp"

#include <array>

namespace vantrel::kernel {

struct ImpactWindow {
    static constexpr int kBars = 20;  // the fill's own bar is never in it
    Index end = -1;                   // the window holds the bars before this one
    int count = 0;                    // bars held (fewer at the start of the data)
    int head = 0;                     // slot of the oldest
    double last_close = 0.0;          // the close of the bar before `end`
    // A holding's bar read by the walk, taken in on the next bar (a fill never
    // sees its own bar).
    Index staged_bar = -1;
    double staged_close = 0.0, staged_volume = 0.0;
    std::array<double, kBars> returns{}, volumes{};
    // The statistics of the window ending at `stats_end`, kept for the other
    // fills of the bar.
    Index stats_end = -1;
    double sigma = 0.0, volume = 0.0;
    bool known = false;
};

}  // namespace vantrel::kernel
