// The six running series of one trade, one element per bar of its span from
// the entry bar (position 0), and the six-value record of one position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel::exvalo {

class ExcursionSeries {
public:
    // Room for the whole span, so that extending never reallocates.
    void reserve(std::size_t span) {
        peak_.reserve(span);
        trough_.reserve(span);
        trough_at_.reserve(span);
        drawdown_.reserve(span);
        gain_bars_.reserve(span);
        value_path_.reserve(span);
    }

    // Entry element: the peak is floored and the trough capped at break-even.
    void start(double v) {
        value_path_.push_back(v);
        peak_.push_back(1.0 > v ? 1.0 : v);
        trough_.push_back(v > 1.0 ? 1.0 : v);
        trough_at_.push_back(0);
        drawdown_.push_back(v - 1 < 0 ? v - 1 : 0.0);
        gain_bars_.push_back(v > 1.0 ? 1.0 : 0.0);
    }

    // Appends the next bar's value. `gain` tells whether the bar counts as
    // profitable. Returns false, appending nothing, when the running peak is
    // zero (the drawdown would divide by it).
    bool extend(double v, bool gain) {
        const std::size_t j = value_path_.size() - 1;
        const double pk = v > peak_[j] ? v : peak_[j];
        if (pk == 0) return false;
        peak_.push_back(pk);
        if (trough_[j] > v) {
            trough_.push_back(v);
            trough_at_.push_back(static_cast<int32_t>(j));
        } else {
            trough_.push_back(trough_[j]);
            trough_at_.push_back(trough_at_[j]);
        }
        const double d = v / pk - 1;
        drawdown_.push_back(drawdown_[j] > d ? d : drawdown_[j]);
        gain_bars_.push_back(gain ? gain_bars_[j] + 1 : gain_bars_[j]);
        value_path_.push_back(v);
        return true;
    }

    std::size_t size() const { return value_path_.size(); }
    double& value(std::size_t p) { return value_path_[p]; }

    // Adverse excursion, favourable excursion, favourable excursion before the
    // adverse low, drawdown, profitable bars, return; all at position p.
    std::array<double, 6> record(std::size_t p) const {
        return {trough_[p] - 1,       peak_[p] - 1, peak_[trough_at_[p]] - 1,
                drawdown_[p],         gain_bars_[p], value_path_[p] - 1};
    }

private:
    std::vector<double> peak_, trough_;
    std::vector<int32_t> trough_at_;
    std::vector<double> drawdown_, gain_bars_, value_path_;
};

}  // namespace vantrel::exvalo
