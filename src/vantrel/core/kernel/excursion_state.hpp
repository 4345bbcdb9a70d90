// The running excursion statistics of one trade, advanced bar by bar along its
// span from the entry (position 0): its value relative to the entry, the
// running peak (floored at break-even on entry) and trough (capped at it),
// the peak as it stood when the current trough was set, the deepest drawdown
// from the running peak and the count of profitable bars.
#pragma once

#include <array>

namespace vantrel::kernel {

class ExcursionState {
public:
    // Entry element: the peak is floored and the trough capped at break-even.
    void start(double v) {
        value_ = v;
        peak_ = 1.0 > v ? 1.0 : v;
        trough_ = v > 1.0 ? 1.0 : v;
        peak_at_trough_ = peak_;
        drawdown_ = v - 1 < 0 ? v - 1 : 0.0;
        gain_bars_ = v > 1.0 ? 1.0 : 0.0;
    }

    // The next bar's value; `gain` tells whether the bar counts as profitable.
    // Returns false, changing nothing, when the running peak is zero (the
    // drawdown would divide by it).
    bool extend(double v, bool gain) {
        const double pk = v > peak_ ? v : peak_;
        if (pk == 0) return false;
        if (trough_ > v) {
            trough_ = v;
            peak_at_trough_ = peak_;  // the peak of the bar before the new low
        }
        peak_ = pk;
        const double d = v / pk - 1;
        drawdown_ = drawdown_ > d ? d : drawdown_;
        if (gain) gain_bars_ = gain_bars_ + 1;
        value_ = v;
        return true;
    }

    double value() const { return value_; }

    // Adverse excursion, favourable excursion, favourable excursion before the
    // adverse low, drawdown, profitable bars, return.
    std::array<double, 6> record() const {
        return {trough_ - 1, peak_ - 1, peak_at_trough_ - 1, drawdown_, gain_bars_, value_ - 1};
    }

private:
    double value_ = 0.0;
    double peak_ = 0.0;
    double trough_ = 0.0;
    double peak_at_trough_ = 0.0;
    double drawdown_ = 0.0;
    double gain_bars_ = 0.0;
};

}  // namespace vantrel::kernel
