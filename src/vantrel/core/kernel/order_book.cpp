#include "order_book.hpp"

#include <algorithm>

namespace vantrel::kernel {

namespace {

bool sid_less(const Order& o, int sid) { return o.sid < sid; }

}  // namespace

Order* OrderBook::find(int sid) {
    auto it = std::lower_bound(items_.begin(), items_.end(), sid, sid_less);
    return it != items_.end() && it->sid == sid ? &*it : nullptr;
}

const Order* OrderBook::find(int sid) const {
    auto it = std::lower_bound(items_.begin(), items_.end(), sid, sid_less);
    return it != items_.end() && it->sid == sid ? &*it : nullptr;
}

Order& OrderBook::place(Order order, int bar) {
    if (order.exit) ++exits_;
    auto it = std::lower_bound(items_.begin(), items_.end(), order.sid, sid_less);
    order.tally_bar = bar;
    if (it != items_.end() && it->sid == order.sid) {
        order.tally = it->traded_on(bar);
        *it = order;
        return *it;
    }
    order.tally = 0.0;
    return *items_.insert(it, order);
}

void OrderBook::replace_all(int bar) {
    std::erase_if(items_, [bar](const Order& o) { return o.tally_bar != bar || o.tally == 0.0; });
    for (Order& o : items_) o.remaining = 0.0;
}

void OrderBook::cancel(int sid) {
    Order* o = find(sid);
    if (o != nullptr) o->remaining = 0.0;
}

void OrderBook::purge() {
    std::erase_if(items_, [](const Order& o) { return o.filled(); });
    exits_ =
        static_cast<int>(std::count_if(items_.begin(), items_.end(), [](const Order& o) { return o.exit; }));
}

void OrderBook::split(int sid, double ratio) {
    Order* o = find(sid);
    if (o == nullptr) return;
    o->remaining *= ratio;
    o->decided *= ratio;
    o->tally *= ratio;
}

}  // namespace vantrel::kernel
