// The holdings of a run: stock id -> signed market value, iterated in
// ascending stock id (the order of trades within a bar). A book holds tens to
// hundreds of stocks and is walked every bar but changed only by trades, so
// a sorted array beats a node-based tree: the walk reads it in one sweep.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

namespace vantrel::kernel {

// One holding. Plain data, so that inserting or erasing one moves the rest
// of the book as bytes rather than element by element.
struct Holding {
    int sid;
    double value;
};
static_assert(std::is_trivially_copyable_v<Holding>);

class Holdings {
public:
    using value_type = Holding;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    iterator find(int sid) {
        auto it = lower(sid);
        return it != items_.end() && it->sid == sid ? it : items_.end();
    }
    const_iterator find(int sid) const {
        auto it = std::lower_bound(items_.begin(), items_.end(), sid, key_less);
        return it != items_.end() && it->sid == sid ? it : items_.end();
    }
    std::size_t count(int sid) const { return find(sid) != end() ? 1 : 0; }

    // The value of `sid`, inserted as 0 when absent. Inserting moves the
    // entries after it: references to them are then stale.
    double& operator[](int sid) {
        auto it = lower(sid);
        if (it == items_.end() || it->sid != sid) it = items_.insert(it, {sid, 0.0});
        return it->value;
    }
    void erase(int sid) {
        auto it = find(sid);
        if (it != items_.end()) items_.erase(it);
    }

private:
    static bool key_less(const value_type& item, int sid) { return item.sid < sid; }
    iterator lower(int sid) { return std::lower_bound(items_.begin(), items_.end(), sid, key_less); }

    std::vector<value_type> items_;
};

}  // namespace vantrel::kernel
