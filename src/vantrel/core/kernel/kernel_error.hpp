// The one exception the kernel throws. It carries what a binding needs to
// raise the host's own error: the kernel never formats messages for a host.
#pragma once

#include <cstdint>
#include <exception>

namespace vantrel::kernel {

struct KernelError : std::exception {
    enum class Kind {
        out_of_bounds,        // a read outside an input array (axis)
        item_out_of_range,    // an item read by index outside a matrix (index, axis, size)
        invalid_trade_price,  // zero, negative or infinite trading price (price, sid, row)
        zero_weight_base,     // an entry weight divided by a zero portfolio value (value)
        float_division,       // a division by a zero price or peak in the excursion analysis
        unbound_loop_bar,     // a full exit whose span never ran a bar
        negative_span,        // an excursion span that ends before it starts
        zero_window_step,     // excursion samples every 0 bars
        window_overflow,      // (window - 1) // -1 does not fit 32 bits
        negative_length,      // a window and step that give a negative statistics length
    };

    Kind kind;
    int axis = 0;
    int sid = 0;
    int row = 0;
    double value = 0.0;
    int64_t index = 0;
    int64_t size = 0;

    explicit KernelError(Kind k) : kind(k) {}
    static KernelError out_of_bounds(int axis) {
        KernelError e(Kind::out_of_bounds);
        e.axis = axis;
        return e;
    }
    static KernelError invalid_trade_price(double price, int sid, int row) {
        KernelError e(Kind::invalid_trade_price);
        e.value = price;
        e.sid = sid;
        e.row = row;
        return e;
    }
    const char* what() const noexcept override { return "vantrel kernel error"; }
};

}  // namespace vantrel::kernel
