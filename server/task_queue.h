#pragma once

// Worker pool of the HTTP listeners: a thread per connection that needs one, reused when idle, so
// idle keep-alive clients or long waits can never lock other clients out.
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
    /// At most `max_threads` workers; further jobs wait for a free worker.
    explicit GrowingTaskQueue(size_t max_threads);
    ~GrowingTaskQueue() override;

    void enqueue(std::function<void()> job) override;
    /// Runs the queued jobs to their end and joins every worker.
    void shutdown() override;

private:
    void work();

    const size_t max_threads_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool shutdown_ = false;
};
