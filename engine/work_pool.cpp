#include "engine/work_pool.h"

#include <algorithm>

namespace velmora {

WorkPool::WorkPool(int threads) {
    for (int t = 1; t < std::max(threads, 1); ++t)
        helpers_.emplace_back([this] { Serve(); });
}

WorkPool::~WorkPool() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    helpers_.clear();  // joins
}

std::shared_ptr<WorkPool::Work> WorkPool::Open(std::size_t count,
                                               std::function<void(std::size_t)> task, int most) {
    auto work = std::make_shared<Work>();
    work->task = std::move(task);
    work->count = count;
    work->most = most > 0 ? most : threads();
    if (count > 0) {
        {
            const std::lock_guard lock(mutex_);
            open_.push_back(work);
        }
        wake_.notify_all();
    }
    return work;
}

void WorkPool::Join(Work& work) {
    std::unique_lock lock(mutex_);
    if (work.next >= work.count || work.working >= work.most) return;
    ++work.working;
    while (work.next < work.count && !work.error) {
        const std::size_t item = work.next++;
        if (work.next == work.count) {
            std::erase_if(open_, [&](const auto& w) { return w.get() == &work; });
        }
        lock.unlock();
        std::exception_ptr error;
        try {
            work.task(item);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !work.error) {
            work.error = error;
            // What is not begun is left out; those at work finish their item.
            work.done += work.count - work.next;
            work.next = work.count;
            std::erase_if(open_, [&](const auto& w) { return w.get() == &work; });
        }
        ++work.done;
    }
    --work.working;
    if (work.done == work.count) {
        // What the task holds (a result, a profile) goes with its last item.
        work.task = nullptr;
        work.finished.notify_all();
    }
}

void WorkPool::Wait(Work& work) {
    std::unique_lock lock(mutex_);
    work.finished.wait(lock, [&] { return work.done == work.count; });
    if (work.error) std::rethrow_exception(work.error);
}

void WorkPool::Settle(Work& work) {
    std::unique_lock lock(mutex_);
    if (work.next < work.count) {
        work.done += work.count - work.next;
        work.next = work.count;
        std::erase_if(open_, [&](const auto& w) { return w.get() == &work; });
    }
    work.finished.wait(lock, [&] { return work.done == work.count; });
}

void WorkPool::ForEach(std::size_t count, const std::function<void(std::size_t)>& task, int most) {
    if (count == 0) return;
    const std::shared_ptr<Work> work = Open(count, task, most);
    Join(*work);
    Wait(*work);
}

void WorkPool::Serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<Work> chosen;
        wake_.wait(lock, [&] {
            if (stopping_) return true;
            // The newest work first: it was opened from inside older work, which waits for it.
            for (auto w = open_.rbegin(); w != open_.rend(); ++w) {
                if ((*w)->working < (*w)->most) {
                    chosen = *w;
                    return true;
                }
            }
            return false;
        });
        if (stopping_) return;
        lock.unlock();
        Join(*chosen);
        lock.lock();
    }
}

}  // namespace velmora
