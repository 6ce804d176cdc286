#pragma once

// Worker pool of the HTTP listeners: a thread per job that needs one, reused while busy and given
// back once it has idled for a while, so that a burst of clients leaves no threads behind.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

class GrowingTaskQueue : public httplib::TaskQueue {
public:
    /// At most `max_threads` workers; further jobs wait for a free worker. A worker that found no job
    /// for `idle_timeout` ends.
    explicit GrowingTaskQueue(size_t max_threads,
                              std::chrono::milliseconds idle_timeout = std::chrono::seconds(10));
    ~GrowingTaskQueue() override;

    /// Queues a job; after shutdown the job is dropped unrun.
    void enqueue(std::function<void()> job) override;
    /// Runs the queued jobs to their end and joins every worker.
    void shutdown() override;

    /// Workers that exist now, busy or idle.
    size_t workerCount();

private:
    void work();
    void retireLocked();
    std::vector<std::thread> takeRetiredLocked();

    const size_t max_threads_;
    const std::chrono::milliseconds idle_timeout_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::vector<std::thread> retired_;  // ended for idleness, not yet joined
    size_t idle_ = 0;
    bool shutdown_ = false;
};
