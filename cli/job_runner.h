#pragma once

#include <functional>

namespace velmora {

// Runs task(0) ... task(count - 1) on at most `jobs` threads. Each thread takes the next index
// as soon as it is free, so no more than `jobs` tasks are under way at any moment and memory
// stays bounded by what that many tasks hold. Returns when every task has finished. `task` is
// called from several threads at once and must not throw.
void RunJobs(int count, int jobs, const std::function<void(int)>& task);

}  // namespace velmora
