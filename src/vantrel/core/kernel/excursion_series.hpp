// The six running series of one trade, one element per bar of its span from
// the entry bar (position 0), and the six-value record of one position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantrel::kernel {

class ExcursionSeries {
public:
    // Room for the whole span (and the entry element), allocated before the
    // pass so that extending never reallocates; a series used again keeps
    // its room when that is enough.
    void reserve(std::size_t span) {
        const std::size_t needed = span > 0 ? span : 1;
        if (needed > capacity_) {
            capacity_ = needed;
            doubles_.reset(new double[5 * capacity_]);
            trough_at_.reset(new int32_t[capacity_]);
        }
        peak_ = doubles_.get();
        trough_ = peak_ + capacity_;
        drawdown_ = trough_ + capacity_;
        gain_bars_ = drawdown_ + capacity_;
        value_path_ = gain_bars_ + capacity_;
        size_ = 0;
    }

    // Entry element: the peak is floored and the trough capped at break-even.
    void start(double v) {
        value_path_[0] = v;
        peak_[0] = 1.0 > v ? 1.0 : v;
        trough_[0] = v > 1.0 ? 1.0 : v;
        trough_at_[0] = 0;
        drawdown_[0] = v - 1 < 0 ? v - 1 : 0.0;
        gain_bars_[0] = v > 1.0 ? 1.0 : 0.0;
        size_ = 1;
    }

    // Appends the next bar's value. `gain` tells whether the bar counts as
    // profitable. Returns false, appending nothing, when the running peak is
    // zero (the drawdown would divide by it).
    bool extend(double v, bool gain) {
        const std::size_t j = size_ - 1;
        const double pk = v > peak_[j] ? v : peak_[j];
        if (pk == 0) return false;
        peak_[size_] = pk;
        if (trough_[j] > v) {
            trough_[size_] = v;
            trough_at_[size_] = static_cast<int32_t>(j);
        } else {
            trough_[size_] = trough_[j];
            trough_at_[size_] = trough_at_[j];
        }
        const double d = v / pk - 1;
        drawdown_[size_] = drawdown_[j] > d ? d : drawdown_[j];
        gain_bars_[size_] = gain ? gain_bars_[j] + 1 : gain_bars_[j];
        value_path_[size_] = v;
        ++size_;
        return true;
    }

    std::size_t size() const { return size_; }
    double& value(std::size_t p) { return value_path_[p]; }

    // Adverse excursion, favourable excursion, favourable excursion before the
    // adverse low, drawdown, profitable bars, return; all at position p.
    std::array<double, 6> record(std::size_t p) const {
        return {trough_[p] - 1,       peak_[p] - 1, peak_[trough_at_[p]] - 1,
                drawdown_[p],         gain_bars_[p], value_path_[p] - 1};
    }

private:
    std::unique_ptr<double[]> doubles_;
    std::unique_ptr<int32_t[]> trough_at_;
    double* peak_ = nullptr;
    double* trough_ = nullptr;
    double* drawdown_ = nullptr;
    double* gain_bars_ = nullptr;
    double* value_path_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vantrel::kernel
