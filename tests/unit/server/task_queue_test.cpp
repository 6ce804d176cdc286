#include "server/task_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Jobs that block until released, counting how many run at once.
class Gate {
public:
    void pass() {
        std::unique_lock lock(mutex_);
        ++inside_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        --inside_;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitForInside(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return inside_ == n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool open_ = false;
};

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

TEST(GrowingTaskQueueTest, GrowsToItsLimitAndIdleWorkersEnd) {
    GrowingTaskQueue queue(4, 50ms);
    Gate gate;
    std::atomic<int> done{0};
    for (int i = 0; i < 6; ++i) queue.enqueue([&] {
        gate.pass();
        ++done;
    });
    EXPECT_TRUE(gate.waitForInside(4));  // the limit holds, two jobs wait
    EXPECT_EQ(queue.workerCount(), 4u);
    gate.open();
    EXPECT_TRUE(eventually([&] { return done == 6; }));
    EXPECT_TRUE(eventually([&] { return queue.workerCount() == 0; }));
    // Workers are made again when work comes back.
    queue.enqueue([&] { ++done; });
    EXPECT_TRUE(eventually([&] { return done == 7; }));
}

TEST(GrowingTaskQueueTest, ShutdownRunsQueuedJobsAndDropsLaterOnes) {
    std::atomic<int> done{0};
    {
        GrowingTaskQueue queue(1, 10s);
        Gate gate;
        queue.enqueue([&] { gate.pass(); });
        for (int i = 0; i < 3; ++i) queue.enqueue([&] { ++done; });
        ASSERT_TRUE(gate.waitForInside(1));
        std::thread opener([&] {
            std::this_thread::sleep_for(50ms);
            gate.open();
        });
        queue.shutdown();
        opener.join();
        EXPECT_EQ(done, 3);
        queue.enqueue([&] { ++done; });
    }
    EXPECT_EQ(done, 3);
}

}  // namespace
