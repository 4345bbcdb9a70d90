// The fills of a run and its costs and income per bar: one record per trade
// that moved shares, and a bars x cost-kinds table, both in units of the
// initial capital (the package turns fills into currency in capital mode).
// Kept by the package's array entry; the documented modules keep none.
#pragma once

#include "strided.hpp"
#include "trade_codes.hpp"

#include <cstdint>
#include <vector>

namespace vantrel::kernel {

struct FillRecord {
    int32_t bar = 0;
    int32_t stock = 0;
    int8_t side = 0;       // +1 bought, -1 sold
    uint8_t reason = 0;    // FillReason
    uint16_t unused0 = 0;  // no padding: a record's bytes are all defined
    uint32_t unused1 = 0;
    double shares = 0.0;  // shares traded (fractional weights: value / price)
    double price = 0.0;   // after slippage and impact
    double value = 0.0;   // shares x the market price, before slippage and impact
    double fee = 0.0;
    double tax = 0.0;
    double slippage = 0.0;
    double impact = 0.0;
};

class FillLog {
public:
    explicit FillLog(Index bars) : costs_(static_cast<std::size_t>(bars) * kCostKinds, 0.0) {}

    // Records a fill and adds its costs to its bar.
    void fill(const FillRecord& f) {
        fills_.push_back(f);
        add(f.bar, CostKind::fees, f.fee);
        add(f.bar, CostKind::taxes, f.tax);
        add(f.bar, CostKind::slippage, f.slippage);
        add(f.bar, CostKind::impact, f.impact);
    }
    void add(int bar, CostKind kind, double amount) {
        if (amount != 0.0)
            costs_[static_cast<std::size_t>(bar) * kCostKinds + static_cast<int>(kind)] += amount;
    }

    const std::vector<FillRecord>& fills() const { return fills_; }
    const std::vector<double>& costs() const { return costs_; }  // bars x kCostKinds, row-major

private:
    std::vector<FillRecord> fills_;
    std::vector<double> costs_;
};

}  // namespace vantrel::kernel
