#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "correction/parallel.h"

namespace velmora {

// The one place where the program's work is spread over threads: a fixed set of threads that
// take part in whatever the program runs at once, the pictures of a batch and, inside one of
// them, the bands of a larger computation. A thread that waits for its own items works on them
// itself, and free threads join the newest work first, so work started from inside other work
// never waits for a thread of its own: nothing nests, nothing deadlocks. (The picture library
// decodes and encodes on threads of its own.)
class WorkPool {
  public:
    // `threads` threads in all, counting each caller of ForEach.
    explicit WorkPool(int threads);
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;
    ~WorkPool();

    int threads() const { return int(helpers_.size()) + 1; }

    // Runs task(i) for every i below `count`, at most `most` at once (0: as many as the pool
    // has threads), on the calling thread and on free ones, and returns when all are done. The
    // first exception a task raises is raised here once the others are done; items not begun
    // by then are left out.
    void ForEach(std::size_t count, const std::function<void(std::size_t)>& task, int most = 0);
    // ForEach as lower layers take it.
    ParallelFor Parallel() {
        return [this](std::size_t count, const std::function<void(std::size_t)>& task) {
            ForEach(count, task);
        };
    }

    struct Work;  // one ForEach or Start

    // Work begun on a free thread, or on the one that waits for it when none was free.
    template <typename T>
    class Deferred {
      public:
        Deferred() = default;
        bool valid() const { return work_ != nullptr; }
        // The result, once it is there; raises what the work raised.
        const T& get() const;
        // Leaves the work out if it has not begun, else waits for it to end; raises nothing.
        // For an owner that goes away before it needs the result.
        void Settle() const { Pending{work_, pool_}.Settle(); }
        // The same, without holding on to the work or its result.
        struct Pending {
            std::weak_ptr<Work> work;
            WorkPool* pool = nullptr;
            void Settle() const {
                if (const std::shared_ptr<Work> alive = work.lock()) pool->Settle(*alive);
            }
        };
        Pending pending() const { return {work_, pool_}; }

      private:
        friend class WorkPool;
        std::shared_ptr<Work> work_;
        std::shared_ptr<std::optional<T>> result_;
        WorkPool* pool_ = nullptr;
    };
    template <typename T>
    Deferred<T> Start(std::function<T()> task);

  private:
    std::shared_ptr<Work> Open(std::size_t count, std::function<void(std::size_t)> task, int most);
    void Join(Work& work);  // the calling thread works on `work` until none of it is left
    void Wait(Work& work);  // then waits for the items others are on; raises their exception
    void Settle(Work& work);
    void Serve();  // a helper thread's life

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Work>> open_;  // with items not yet begun, newest last
    bool stopping_ = false;
    std::vector<std::jthread> helpers_;
};

struct WorkPool::Work {
    std::function<void(std::size_t)> task;
    std::size_t count = 0;
    int most = 0;
    // Guarded by the pool's mutex:
    std::size_t next = 0;  // the first item not begun
    std::size_t done = 0;
    int working = 0;  // threads on it now
    std::exception_ptr error;
    std::condition_variable finished;
};

template <typename T>
WorkPool::Deferred<T> WorkPool::Start(std::function<T()> task) {
    Deferred<T> deferred;
    deferred.result_ = std::make_shared<std::optional<T>>();
    deferred.pool_ = this;
    deferred.work_ = Open(
        1,
        [task = std::move(task), result = deferred.result_](std::size_t) {
            result->emplace(task());
        },
        1);
    return deferred;
}

template <typename T>
const T& WorkPool::Deferred<T>::get() const {
    pool_->Join(*work_);
    pool_->Wait(*work_);
    return **result_;
}

}  // namespace velmora
