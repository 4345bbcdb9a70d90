#include "fill_model.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace vantrel::kernel {

namespace {

// Rounded quotes may sit a hair off the limit price.
constexpr double kLimitTolerance = 1e-6;

double split_factor(const Run& run, int col) {
    const std::vector<double>& f = run.exec->split_factor;
    return f.empty() ? 1.0 : f[static_cast<std::size_t>(col)];
}

// A close at or beyond the previous close's limit on the side of the trade.
bool at_limit(const Run& run, int col, bool buying) {
    const double limit = run.in.exec.price_limit;
    const Index bar = run.s.bar;
    const double close = run.in.close_values(bar, col);
    if (std::isnan(close)) return false;
    const double previous = bar > 0 ? last_price(run.in.close_values, col, bar - 1) : std::nan("");
    if (std::isnan(previous)) return false;
    if (buying) return close >= previous * (1.0 + limit) * (1.0 - kLimitTolerance);
    return close <= previous * (1.0 - limit) * (1.0 + kLimitTolerance);
}

}  // namespace

double last_price(const Matrix<double>& prices, int col, Index bar) {
    for (Index b = bar; b >= 0; --b) {
        const double p = prices(b, col);
        if (!std::isnan(p)) return p;
    }
    return std::nan("");
}

bool can_trade(const Run& run, int col, double price, bool buying) {
    const ExecutionInputs& e = run.in.exec;
    if (std::isnan(price)) return false;
    if (e.has_volume()) {
        const double v = e.volume(run.s.bar, col);
        if (!(v > 0.0)) return false;  // suspended, or volume unknown
    }
    return !(e.price_limit > 0.0 && at_limit(run, col, buying));
}

double volume_room(const Run& run, int col, double traded) {
    const ExecutionInputs& e = run.in.exec;
    if (!(e.participation > 0.0)) return std::numeric_limits<double>::infinity();
    const double quoted = e.volume(run.s.bar, col) * split_factor(run, col);
    const double room = e.participation * quoted - traded;
    return room > 0.0 ? room : 0.0;
}

Liquidity liquidity(const Run& run, int col) {
    const ExecutionInputs& e = run.in.exec;
    const Index bar = run.s.bar;
    const Index first = bar - kImpactWindow > 0 ? bar - kImpactWindow : 0;
    std::array<double, kImpactWindow> returns{};
    int n = 0;
    double volume = 0.0;
    int volumes = 0;
    for (Index b = first; b < bar; ++b) {
        if (b > 0) {
            const double c = run.in.close_values(b, col);
            const double before = run.in.close_values(b - 1, col);
            if (!std::isnan(c) && !std::isnan(before) && before != 0.0) returns[n++] = c / before - 1.0;
        }
        const double v = e.volume(b, col);
        if (!std::isnan(v)) {
            volume += v;
            ++volumes;
        }
    }
    Liquidity liq;
    if (n < 2 || volumes == 0 || !(volume > 0.0)) return liq;
    double mean = 0.0;
    for (int i = 0; i < n; ++i) mean += returns[i];
    mean /= n;
    double squares = 0.0;
    for (int i = 0; i < n; ++i) squares += (returns[i] - mean) * (returns[i] - mean);
    liq.sigma = std::sqrt(squares / (n - 1));
    liq.volume = volume / volumes * split_factor(run, col);
    liq.known = true;
    return liq;
}

double impact_rate(const Run& run, const Liquidity& liq, double shares) {
    const double k = run.in.exec.impact;
    if (!(k > 0.0) || !liq.known || !(shares > 0.0)) return 0.0;
    return k * liq.sigma * std::sqrt(shares / liq.volume);
}

}  // namespace vantrel::kernel
