#include "run_arguments.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

namespace {

// stock_values and bar_values: one number for all, or a 1-D float64 array
// with one per column of weights (per bar); amounts: a 1-D float64 array.
enum class Kind { matrix, dates, indices, number, flag, count, stock_values, bar_values, amounts };

struct Argument {
    const char* name;
    Kind kind;
    bool required;
};

// Every argument, by name; the order is the stub's.
constexpr Argument kArguments[] = {
    {"prices", Kind::matrix, true},
    {"close", Kind::matrix, true},
    {"bar_dates", Kind::dates, true},
    {"weights", Kind::matrix, true},
    {"weight_dates", Kind::dates, true},
    {"stock_columns", Kind::indices, true},
    {"calendar", Kind::dates, true},
    {"high", Kind::matrix, false},
    {"low", Kind::matrix, false},
    {"open", Kind::matrix, false},
    {"fee_ratio", Kind::number, false},
    {"tax_ratio", Kind::number, false},
    {"stop_loss", Kind::matrix, false},
    {"stop_loss_rows", Kind::indices, false},
    {"take_profit", Kind::matrix, false},
    {"take_profit_rows", Kind::indices, false},
    {"trail_stop", Kind::number, false},
    {"trail_stop_activation", Kind::number, false},
    {"touched_exit", Kind::flag, false},
    {"position_limit", Kind::number, false},
    {"retain_cost_when_rebalance", Kind::flag, false},
    {"stop_trading_next_period", Kind::flag, false},
    {"excursion_window", Kind::count, false},
    {"excursion_window_step", Kind::count, false},
    {"periodically_rebalance", Kind::flag, false},
    {"delisting_bars", Kind::indices, false},
    {"capital", Kind::number, false},
    {"lot_size", Kind::stock_values, false},
    {"min_fee", Kind::number, false},
    {"slippage", Kind::stock_values, false},
    {"impact", Kind::number, false},
    {"participation", Kind::number, false},
    {"price_limit", Kind::number, false},
    {"volume", Kind::matrix, false},
    {"cash_rate", Kind::bar_values, false},
    {"borrow_rate", Kind::stock_values, false},
    {"leverage", Kind::number, false},
    {"margin_rate", Kind::number, false},
    {"dividend_bars", Kind::indices, false},
    {"dividend_columns", Kind::indices, false},
    {"dividend_amounts", Kind::amounts, false},
    {"split_bars", Kind::indices, false},
    {"split_columns", Kind::indices, false},
    {"split_ratios", Kind::amounts, false},
};
constexpr int kCount = static_cast<int>(sizeof(kArguments) / sizeof(kArguments[0]));

// Positions in kArguments, for reading the values back.
enum Arg {
    prices,
    close,
    bar_dates,
    weights,
    weight_dates,
    stock_columns,
    calendar,
    high,
    low,
    open,
    fee_ratio,
    tax_ratio,
    stop_loss,
    stop_loss_rows,
    take_profit,
    take_profit_rows,
    trail_stop,
    trail_stop_activation,
    touched_exit,
    position_limit,
    retain_cost_when_rebalance,
    stop_trading_next_period,
    excursion_window,
    excursion_window_step,
    periodically_rebalance,
    delisting_bars,
    capital,
    lot_size,
    min_fee,
    slippage,
    impact,
    participation,
    price_limit,
    volume,
    cash_rate,
    borrow_rate,
    leverage,
    margin_rate,
    dividend_bars,
    dividend_columns,
    dividend_amounts,
    split_bars,
    split_columns,
    split_ratios,
};

[[noreturn]] void fail(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

std::string text_of(PyObject* o) {
    Ref s = Ref::steal(PyObject_Str(o));
    const char* utf8 = PyUnicode_AsUTF8(s.get());
    if (utf8 == nullptr) throw PyErrorSet{};
    return utf8;
}

std::string shape_text(const Buffer& b, int ndim) {
    std::string out = "(";
    for (int axis = 0; axis < ndim; ++axis) {
        if (axis) out += ", ";
        out += std::to_string(b.shape(axis));
    }
    return out + (ndim == 1 ? ",)" : ")");
}

// A NumPy array of `ndim` dimensions of 8-byte floats or signed integers
// in native byte order, held in `buf`.
void take_array(PyObject* o, const char* name, int ndim, char kind, Buffer& buf) {
    const char* wanted = kind == 'f' ? "float64" : "int64";
    if (!PyArray_Check(o)) {
        fail(PyExc_TypeError, std::string("run: ") + name + " must be a " + std::to_string(ndim) + "-D " +
                                  wanted + " NumPy array, got " + Py_TYPE(o)->tp_name);
    }
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    PyArray_Descr* d = PyArray_DESCR(a);
    if (PyArray_NDIM(a) != ndim || d->kind != kind || PyArray_ITEMSIZE(a) != 8 ||
        !PyArray_ISNBO(d->byteorder)) {
        fail(PyExc_TypeError, std::string("run: ") + name + " must be a " + std::to_string(ndim) + "-D " +
                                  wanted + " array, got a " + std::to_string(PyArray_NDIM(a)) + "-D " +
                                  text_of(reinterpret_cast<PyObject*>(d)) + " array");
    }
    buf.acquire(o, ndim, kind == 'f' ? Elem::f64 : Elem::i64);
}

double number(PyObject* o, const char* name) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        fail(PyExc_TypeError, std::string("run: ") + name + " must be a number, got " + Py_TYPE(o)->tp_name);
    }
    return v;
}

int count(PyObject* o, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(o));  // raises TypeError for a non-integer
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (v < INT_MIN || v > INT_MAX) fail(PyExc_OverflowError, std::string("run: ") + name + " is too large");
    return static_cast<int>(v);
}

bool flag(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

kernel::Matrix<double> matrix(const Buffer& b) {
    return {b.data(), b.shape(0), b.shape(1), b.stride(0), b.stride(1)};
}

kernel::Vector<int64_t> vector(const Buffer& b) { return {b.data(), b.shape(0), b.stride(0)}; }

void require_shape(const Buffer& b, const char* name, int ndim, std::initializer_list<Py_ssize_t> shape,
                   const char* why) {
    int axis = 0;
    for (const Py_ssize_t want : shape) {
        if (b.shape(axis++) != want) {
            std::string expected = "(";
            int k = 0;
            for (const Py_ssize_t s : shape) expected += (k++ ? ", " : "") + std::to_string(s);
            expected += ndim == 1 ? ",)" : ")";
            fail(PyExc_ValueError, std::string("run: ") + name + " has shape " + shape_text(b, ndim) +
                                       ", expected " + expected + ": " + why);
        }
    }
}

// Every entry of an index vector lies in [0, size).
void require_indices(const kernel::Vector<int64_t>& v, const char* name, int64_t size, const char* what) {
    for (kernel::Index i = 0; i < v.size(); ++i) {
        const int64_t k = v[i];
        if (k < 0 || k >= size) {
            fail(PyExc_ValueError, std::string("run: ") + name + "[" + std::to_string(i) + "] is " +
                                       std::to_string(k) + ", outside the " + std::to_string(size) + " " +
                                       what);
        }
    }
}

kernel::Vector<double> values(const Buffer& b) { return {b.data(), b.shape(0), b.stride(0)}; }

// A number given for every column (or bar), or an array with one each.
struct PerItem {
    Buffer& array;
    double& number;
};

kernel::Vector<double> per_item(PyObject* given, const char* name, const PerItem& into, Py_ssize_t n,
                                const char* what, double neutral) {
    if (given == nullptr) {
        into.number = neutral;
    } else if (PyArray_Check(given)) {
        take_array(given, name, 1, 'f', into.array);
        require_shape(into.array, name, 1, {n}, what);
        return values(into.array);
    } else {
        into.number = number(given, name);
    }
    return {&into.number, n, 0};
}

[[noreturn]] void fail_value(const char* name, kernel::Index i, bool indexed, double x, const char* rule) {
    Ref shown = Ref::steal(PyFloat_FromDouble(x));
    std::string message = "run: ";
    message.append(name);
    if (indexed) message.append("[").append(std::to_string(i)).append("]");
    message.append(" is ").append(text_of(shown.get())).append(": ").append(rule);
    fail(PyExc_ValueError, message);
}

// Every entry of `v` passes `ok`, else a ValueError naming the first that does not.
template <class Ok>
void require_values(const kernel::Vector<double>& v, const char* name, const char* rule, Ok ok) {
    for (kernel::Index i = 0; i < v.size(); ++i) {
        if (!ok(v[i])) fail_value(name, i, v.size() > 1, v[i], rule);
    }
}

bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }
bool finite_non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

double checked_number(PyObject* given, const char* name, double neutral, const char* rule,
                      bool (*ok)(double)) {
    if (given == nullptr) return neutral;
    double x = number(given, name);
    require_values(kernel::Vector<double>(&x, 1, 0), name, rule, ok);
    return x;
}

bool any_positive(const kernel::Vector<double>& v) {
    for (kernel::Index i = 0; i < v.size(); ++i) {
        if (v[i] > 0.0) return true;
    }
    return false;
}

// The events of one kind: bars, price columns and amounts, together or not at all.
kernel::MarketEvents events(Buffer& bars_buf, Buffer& columns_buf, Buffer& amounts_buf, const char* kind,
                            Py_ssize_t bars, Py_ssize_t columns, bool ratios) {
    const std::string b = std::string(kind) + "_bars", c = std::string(kind) + "_columns",
                      m = std::string(kind) + (ratios ? "_ratios" : "_amounts");
    if (bars_buf.held() != columns_buf.held() || bars_buf.held() != amounts_buf.held()) {
        fail(PyExc_ValueError, "run: " + b + ", " + c + " and " + m + " go together");
    }
    kernel::MarketEvents out;
    if (!bars_buf.held()) return out;
    const Py_ssize_t n = bars_buf.shape(0);
    require_shape(columns_buf, c.c_str(), 1, {n}, "one price column per event");
    require_shape(amounts_buf, m.c_str(), 1, {n}, "one amount per event");
    out.bars = vector(bars_buf);
    out.columns = vector(columns_buf);
    out.amounts = values(amounts_buf);
    require_indices(out.bars, b.c_str(), bars, "bars");
    require_indices(out.columns, c.c_str(), columns, "price columns");
    for (kernel::Index i = 1; i < n; ++i) {
        if (out.bars[i] < out.bars[i - 1]) {
            fail(PyExc_ValueError, "run: " + b + " must be sorted: " + b + "[" + std::to_string(i) + "] is " +
                                       std::to_string(out.bars[i]) + ", before " +
                                       std::to_string(out.bars[i - 1]));
        }
    }
    if (ratios) {
        require_values(out.amounts, m.c_str(), "split ratios must be positive and finite", finite_positive);
    } else {
        require_values(out.amounts, m.c_str(), "dividends must be finite",
                       [](double x) { return std::isfinite(x); });
    }
    return out;
}

// The execution options: values checked here too (the kernel relies on
// them: a lot of 0 would never round), and whether the layer runs at all.
void read_execution(PyObject* const* v, RunArguments& a, Py_ssize_t bars, Py_ssize_t columns,
                    Py_ssize_t stocks) {
    kernel::ExecutionInputs& e = a.in.exec;
    const bool capital_mode = v[capital] != nullptr;
    e.capital =
        checked_number(v[capital], "capital", 0.0, "capital must be positive and finite", finite_positive);
    const char* per_stock = "one per column of weights";
    e.lot_size = per_item(v[lot_size], "lot_size", {a.lot_size, a.lot_size_value}, stocks, per_stock, 1.0);
    require_values(e.lot_size, "lot_size", "lots must be positive and finite", finite_positive);
    e.min_fee = checked_number(v[min_fee], "min_fee", 0.0, "min_fee must be non-negative and finite",
                               finite_non_negative);
    if (!capital_mode && v[lot_size] != nullptr) fail(PyExc_ValueError, "run: lot_size needs capital");
    if (!capital_mode && e.min_fee > 0.0) fail(PyExc_ValueError, "run: min_fee needs capital");
    e.slippage = per_item(v[slippage], "slippage", {a.slippage, a.slippage_value}, stocks, per_stock, 0.0);
    require_values(e.slippage, "slippage", "slippage must be a fraction in [0, 1)",
                   [](double x) { return x >= 0.0 && x < 1.0; });
    e.impact = checked_number(v[impact], "impact", 0.0, "impact must be non-negative and finite",
                              finite_non_negative);
    e.participation =
        checked_number(v[participation], "participation", 0.0, "participation must be in (0, 1]",
                       [](double x) { return x > 0.0 && x <= 1.0; });
    e.price_limit = checked_number(v[price_limit], "price_limit", 0.0,
                                   "price_limit must be positive and finite", finite_positive);
    if (v[volume] != nullptr) {
        require_shape(a.volume, "volume", 2, {bars, columns},
                      "every price matrix is bars x price columns, like prices");
        e.volume = matrix(a.volume);
    }
    if ((e.participation > 0.0 || e.impact > 0.0) && !e.has_volume()) {
        fail(PyExc_ValueError,
             e.participation > 0.0 ? "run: participation needs volume" : "run: impact needs volume");
    }
    const char* rates = "annual rates must be non-negative and finite";
    e.cash_rate =
        per_item(v[cash_rate], "cash_rate", {a.cash_rate, a.cash_rate_value}, bars, "one per bar", 0.0);
    require_values(e.cash_rate, "cash_rate", rates, finite_non_negative);
    e.borrow_rate =
        per_item(v[borrow_rate], "borrow_rate", {a.borrow_rate, a.borrow_rate_value}, stocks, per_stock, 0.0);
    require_values(e.borrow_rate, "borrow_rate", rates, finite_non_negative);
    e.margin_rate = checked_number(v[margin_rate], "margin_rate", 0.0, rates, finite_non_negative);
    e.leverage =
        checked_number(v[leverage], "leverage", 1.0, "leverage must be positive and finite", finite_positive);
    e.dividends =
        events(a.dividend_bars, a.dividend_columns, a.dividend_amounts, "dividend", bars, columns, false);
    e.splits = events(a.split_bars, a.split_columns, a.split_ratios, "split", bars, columns, true);

    e.borrows = any_positive(e.borrow_rate);
    e.financing = any_positive(e.cash_rate) || e.borrows || e.margin_rate > 0.0;
    e.orders = capital_mode || any_positive(e.slippage) || e.impact > 0.0 || e.participation > 0.0 ||
               e.price_limit > 0.0;
    e.on = e.orders || e.financing || e.leverage != 1.0 || e.has_events();
}

}  // namespace

void read_run_arguments(PyObject* args, PyObject* kwargs, RunArguments& a) {
    if (PyTuple_GET_SIZE(args) != 0) fail(PyExc_TypeError, "run() takes keyword arguments only");
    PyObject* v[kCount] = {};
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (name == nullptr) {
                PyErr_Clear();
                fail(PyExc_TypeError, "run() keywords must be strings");
            }
            int found = -1;
            for (int i = 0; i < kCount && found < 0; ++i) {
                if (std::strcmp(kArguments[i].name, name) == 0) found = i;
            }
            if (found < 0)
                fail(PyExc_TypeError, std::string("run() got an unexpected keyword argument '") + name + "'");
            v[found] = value == Py_None ? nullptr : value;
        }
    }
    for (int i = 0; i < kCount; ++i) {
        if (kArguments[i].required && v[i] == nullptr) {
            fail(PyExc_TypeError,
                 std::string("run() missing required keyword argument '") + kArguments[i].name + "'");
        }
    }

    Buffer* arrays[kCount] = {&a.prices,       &a.close,          &a.bar_dates,   &a.weights,
                              &a.weight_dates, &a.stock_columns,  &a.calendar,    &a.high,
                              &a.low,          &a.open,           nullptr,        nullptr,
                              &a.stop_loss,    &a.stop_loss_rows, &a.take_profit, &a.take_profit_rows};
    arrays[delisting_bars] = &a.delisting_bars;
    arrays[volume] = &a.volume;
    arrays[dividend_bars] = &a.dividend_bars;
    arrays[dividend_columns] = &a.dividend_columns;
    arrays[dividend_amounts] = &a.dividend_amounts;
    arrays[split_bars] = &a.split_bars;
    arrays[split_columns] = &a.split_columns;
    arrays[split_ratios] = &a.split_ratios;
    for (int i = 0; i < kCount; ++i) {
        if (v[i] == nullptr) continue;
        switch (kArguments[i].kind) {
            case Kind::matrix: take_array(v[i], kArguments[i].name, 2, 'f', *arrays[i]); break;
            case Kind::dates:
            case Kind::indices: take_array(v[i], kArguments[i].name, 1, 'i', *arrays[i]); break;
            case Kind::amounts: take_array(v[i], kArguments[i].name, 1, 'f', *arrays[i]); break;
            default: break;
        }
    }

    kernel::RunOptions& o = a.in.options;
    o.fee_ratio = v[fee_ratio] ? number(v[fee_ratio], "fee_ratio") : 0.0;
    o.tax_ratio = v[tax_ratio] ? number(v[tax_ratio], "tax_ratio") : 0.0;
    o.trail_stop = std::fabs(v[trail_stop] ? number(v[trail_stop], "trail_stop")
                                           : std::numeric_limits<double>::infinity());
    o.trail_stop_activation =
        std::fabs(v[trail_stop_activation] ? number(v[trail_stop_activation], "trail_stop_activation") : 0.0);
    o.position_limit = v[position_limit] ? number(v[position_limit], "position_limit") : 1.0;
    o.touched_exit = v[touched_exit] && flag(v[touched_exit]);
    o.retain_cost_when_rebalance = v[retain_cost_when_rebalance] && flag(v[retain_cost_when_rebalance]);
    o.excursion_window = v[excursion_window] ? count(v[excursion_window], "excursion_window") : 0;
    o.excursion_window_step =
        v[excursion_window_step] ? count(v[excursion_window_step], "excursion_window_step") : 1;
    o.keep_trade_log = true;
    a.periodically_rebalance = !v[periodically_rebalance] || flag(v[periodically_rebalance]);
    a.stop_trading_next_period = !v[stop_trading_next_period] || flag(v[stop_trading_next_period]);

    // Shapes, once: bars x price columns for every price matrix, signal rows x
    // stocks for the weights, and the vectors that go with them.
    const Py_ssize_t bars = a.prices.shape(0), columns = a.prices.shape(1);
    const Py_ssize_t rows = a.weights.shape(0), stocks = a.weights.shape(1);
    const char* price_why = "every price matrix is bars x price columns, like prices";
    require_shape(a.close, "close", 2, {bars, columns}, price_why);
    for (const auto& [buf, name] : {std::pair{&a.high, "high"}, {&a.low, "low"}, {&a.open, "open"}}) {
        if (buf->held()) require_shape(*buf, name, 2, {bars, columns}, price_why);
    }
    if (o.touched_exit && !(a.high.held() && a.low.held() && a.open.held())) {
        fail(PyExc_ValueError, "run: touched_exit needs high, low and open");
    }
    if (bars == 0) fail(PyExc_ValueError, "run: prices has no bars");
    if (rows == 0) fail(PyExc_ValueError, "run: weights has no rows");
    require_shape(a.bar_dates, "bar_dates", 1, {bars}, "one date per bar of prices");
    require_shape(a.weight_dates, "weight_dates", 1, {rows}, "one date per row of weights");
    require_shape(a.stock_columns, "stock_columns", 1, {stocks}, "one price column per column of weights");
    require_indices(vector(a.stock_columns), "stock_columns", columns, "price columns");
    if (a.delisting_bars.held()) {
        require_shape(a.delisting_bars, "delisting_bars", 1, {stocks},
                      "one bar (or -1) per column of weights");
    }
    struct StopArgs {
        Buffer& values;
        Buffer& rows;
        const char* name;
        const char* rows_name;
    };
    for (const StopArgs& stop :
         {StopArgs{a.stop_loss, a.stop_loss_rows, "stop_loss", "stop_loss_rows"},
          StopArgs{a.take_profit, a.take_profit_rows, "take_profit", "take_profit_rows"}}) {
        if (stop.values.held() != stop.rows.held()) {
            fail(PyExc_ValueError,
                 std::string("run: ") + stop.name + " and " + stop.rows_name + " go together");
        }
        if (!stop.values.held()) continue;
        if (stop.values.shape(0) == 0)
            fail(PyExc_ValueError, std::string("run: ") + stop.name + " has no rows");
        require_shape(stop.values, stop.name, 2, {stop.values.shape(0), stocks},
                      "threshold rows x the columns of weights");
        require_shape(stop.rows, stop.rows_name, 1, {bars}, "the threshold row in force on each bar");
        require_indices(vector(stop.rows), stop.rows_name, stop.values.shape(0), "threshold rows");
    }

    kernel::RunInputs& in = a.in;
    in.price_values = matrix(a.prices);
    in.close_values = matrix(a.close);
    if (a.high.held()) in.high_values = matrix(a.high);
    if (a.low.held()) in.low_values = matrix(a.low);
    if (a.open.held()) in.open_values = matrix(a.open);
    in.price_index = vector(a.bar_dates);
    in.pos_values = matrix(a.weights);
    in.pos_index = vector(a.weight_dates);
    const kernel::Vector<int64_t> cols = vector(a.stock_columns);
    in.price_col.resize(static_cast<std::size_t>(stocks));
    for (Py_ssize_t sid = 0; sid < stocks; ++sid) in.price_col[sid] = static_cast<int>(cols[sid]);
    if (a.delisting_bars.held()) {
        in.delisting_bars = vector(a.delisting_bars);
        in.has_delisting_bars = true;
    }
    in.sl_values =
        a.stop_loss.held() ? matrix(a.stop_loss) : kernel::Matrix<double>(&a.no_stop_loss, 1, stocks, 0, 0);
    in.sl_rows =
        a.stop_loss.held() ? vector(a.stop_loss_rows) : kernel::Vector<int64_t>(&a.first_row, bars, 0);
    in.tp_values = a.take_profit.held() ? matrix(a.take_profit)
                                        : kernel::Matrix<double>(&a.no_take_profit, 1, stocks, 0, 0);
    in.tp_rows =
        a.take_profit.held() ? vector(a.take_profit_rows) : kernel::Vector<int64_t>(&a.first_row, bars, 0);
    a.calendar_dates = vector(a.calendar);
    in.rebalance_mask = kernel::rebalance_mask(in.price_index, a.calendar_dates);
    read_execution(v, a, bars, columns, stocks);
}

}  // namespace vantrel::engine
