#pragma once

#include <cstddef>
#include <functional>

namespace velmora {

// Runs task(i) for every i below `count`, perhaps several at once on other threads, and returns
// when all are done. Lower layers take one of these instead of starting threads of their own,
// so that the program's parallel work has one place (see engine/work_pool.h).
using ParallelFor =
    std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;

// The ParallelFor of one thread: the tasks in order, on the caller's.
inline void Serially(std::size_t count, const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i < count; ++i)
        task(i);
}

}  // namespace velmora
