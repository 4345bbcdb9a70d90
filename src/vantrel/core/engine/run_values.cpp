#include "run_values.hpp"

#include <cmath>
#include <string>

namespace vantrel::engine {

namespace {

std::string number_text(double v) {
    Ref f = Ref::steal(PyFloat_FromDouble(v));
    Ref s = Ref::steal(PyObject_Repr(f.get()));
    const char* utf8 = PyUnicode_AsUTF8(s.get());
    if (utf8 == nullptr) throw PyErrorSet{};
    return utf8;
}

[[noreturn]] void refuse(const std::string& what, double v, const char* rule) {
    raise(PyExc_ValueError, ("run: " + what + " is " + number_text(v) + ": " + rule).c_str());
}

// Every threshold a number from 0 up; infinity is a stop that never fires.
void check_levels(const kernel::Matrix<double>& table, const char* name) {
    for (kernel::Index r = 0; r < table.rows(); ++r) {
        for (kernel::Index c = 0; c < table.cols(); ++c) {
            const double v = table(r, c);
            if (!(v >= 0.0)) {
                refuse(std::string(name) + "[" + std::to_string(r) + ", " + std::to_string(c) + "]", v,
                       "stop levels are fractions from 0 up (inf for no stop)");
            }
        }
    }
}

}  // namespace

void check_run_values(const RunArguments& a) {
    const kernel::RunOptions& o = a.in.options;
    const char* cost = "costs are finite fractions from 0 up";
    if (!(o.fee_ratio >= 0.0 && std::isfinite(o.fee_ratio))) refuse("fee_ratio", o.fee_ratio, cost);
    if (!(o.tax_ratio >= 0.0 && std::isfinite(o.tax_ratio))) refuse("tax_ratio", o.tax_ratio, cost);
    if (std::isnan(o.trail_stop))
        refuse("trail_stop", o.trail_stop, "a trailing stop is a number (inf for none)");
    if (std::isnan(o.trail_stop_activation))
        refuse("trail_stop_activation", o.trail_stop_activation, "an activation is a number");
    if (!(o.position_limit > 0.0))
        refuse("position_limit", o.position_limit, "a position limit is positive (inf for none)");
    if (a.stop_loss.held()) check_levels(a.in.sl_values, "stop_loss");
    if (a.take_profit.held()) check_levels(a.in.tp_values, "take_profit");
}

}  // namespace vantrel::engine
