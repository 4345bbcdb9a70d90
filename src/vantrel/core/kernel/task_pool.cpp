#include "task_pool.hpp"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace vantrel::kernel {

std::size_t available_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<std::exception_ptr> run_tasks(std::size_t count, std::size_t threads,
                                          const std::function<void(std::size_t)>& task) {
    std::vector<std::exception_ptr> failures(count);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            try {
                task(i);
            } catch (...) {
                failures[i] = std::current_exception();  // each index is written by one thread only
            }
        }
    };
    const std::size_t helpers = std::min(std::max<std::size_t>(threads, 1), count) - (count > 0 ? 1 : 0);
    std::vector<std::thread> pool;
    pool.reserve(helpers);
    try {
        for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
    } catch (const std::system_error&) {
        // No more threads to be had: the ones started (and this one) do the work.
    }
    work();
    for (std::thread& thread : pool) thread.join();
    return failures;
}

}  // namespace vantrel::kernel
