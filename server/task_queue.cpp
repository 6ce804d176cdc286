#include "server/task_queue.h"

GrowingTaskQueue::GrowingTaskQueue(size_t max_threads) : max_threads_(max_threads) {}

GrowingTaskQueue::~GrowingTaskQueue() { shutdown(); }

void GrowingTaskQueue::enqueue(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        if (shutdown_) return;
        jobs_.push_back(std::move(job));
        // Every queued job needs its own worker; start one unless an idle worker can take it.
        if (idle_ < jobs_.size() && threads_.size() < max_threads_) threads_.emplace_back([this] { work(); });
    }
    ready_.notify_one();
}

void GrowingTaskQueue::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
        threads.swap(threads_);
    }
    ready_.notify_all();
    for (auto& t : threads) t.join();
}

void GrowingTaskQueue::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            ++idle_;
            ready_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) return;  // shut down with nothing left to do
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}
