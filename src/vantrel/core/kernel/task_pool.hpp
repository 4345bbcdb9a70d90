// Independent tasks on native threads: a batch of runs that share read-only
// inputs and nothing else. No interpreter here; a task that needs one takes
// it itself.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

namespace vantrel::kernel {

// The cores this process may run on (at least 1).
std::size_t available_cores();

// Runs task(0) .. task(count - 1), each exactly once, on up to `threads`
// threads, the calling thread being one of them. Tasks are taken in order as
// threads come free, so long and short tasks balance. What a task throws is
// kept for its index (empty where it returned) and the other tasks still run.
std::vector<std::exception_ptr> run_tasks(std::size_t count, std::size_t threads,
                                          const std::function<void(std::size_t)>& task);

}  // namespace vantrel::kernel
