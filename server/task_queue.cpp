#include "server/task_queue.h"

#include <algorithm>

GrowingTaskQueue::GrowingTaskQueue(size_t max_threads, std::chrono::milliseconds idle_timeout)
    : max_threads_(max_threads), idle_timeout_(idle_timeout) {}

GrowingTaskQueue::~GrowingTaskQueue() { shutdown(); }

void GrowingTaskQueue::enqueue(std::function<void()> job) {
    std::vector<std::thread> retired;
    {
        std::lock_guard lock(mutex_);
        if (shutdown_) return;
        jobs_.push_back(std::move(job));
        // Every queued job needs its own worker; start one unless an idle worker can take it.
        if (idle_ < jobs_.size() && threads_.size() < max_threads_) threads_.emplace_back([this] { work(); });
        retired = takeRetiredLocked();
    }
    ready_.notify_one();
    // A retired worker has nothing left to do but return: joining it is immediate.
    for (auto& t : retired) t.join();
}

void GrowingTaskQueue::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
        threads.swap(threads_);
        for (auto& t : takeRetiredLocked()) threads.push_back(std::move(t));
    }
    ready_.notify_all();
    for (auto& t : threads) t.join();
}

size_t GrowingTaskQueue::workerCount() {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void GrowingTaskQueue::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            ++idle_;
            ready_.wait_for(lock, idle_timeout_, [this] { return shutdown_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) {
                if (shutdown_) return;  // the shutdown joins this worker
                // Idle for too long: end, and join the workers that ended before, so that at most
                // one ended worker waits for its join.
                std::vector<std::thread> earlier = takeRetiredLocked();
                retireLocked();
                lock.unlock();
                for (auto& t : earlier) t.join();
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

// Moves the calling worker's thread object aside, to be joined by the next enqueue or the shutdown.
void GrowingTaskQueue::retireLocked() {
    const auto self = std::find_if(threads_.begin(), threads_.end(),
                                   [](const std::thread& t) { return t.get_id() == std::this_thread::get_id(); });
    if (self == threads_.end()) return;
    retired_.push_back(std::move(*self));
    threads_.erase(self);
}

std::vector<std::thread> GrowingTaskQueue::takeRetiredLocked() {
    std::vector<std::thread> retired;
    retired.swap(retired_);
    return retired;
}
