// The impact model's look-back of one stock: the volatility and the mean
// volume of the bars before a fill, computed when the stock fills, from its
// bars read afresh, and kept for the stock's other fills of that bar.
#pragma once

#include "strided.hpp"

namespace vantrel::kernel {

struct ImpactWindow {
    static constexpr int kBars = 20;  // the fill's own bar is never in it
    Index stats_end = -1;             // the bar the statistics are for (-1: none yet)
    double sigma = 0.0, volume = 0.0;
    bool known = false;
};

}  // namespace vantrel::kernel
