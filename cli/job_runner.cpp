#include "cli/job_runner.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace velmora {

void RunJobs(int count, int jobs, const std::function<void(int)>& task) {
    std::atomic<int> next{0};
    const auto work = [&] {
        for (int i = next++; i < count; i = next++)
            task(i);
    };
    const int threads = std::clamp(jobs, 1, std::max(count, 1));
    std::vector<std::jthread> helpers;
    helpers.reserve(std::size_t(threads - 1));
    for (int t = 1; t < threads; ++t)
        helpers.emplace_back(work);
    work();
}

}  // namespace velmora
