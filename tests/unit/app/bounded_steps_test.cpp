#include "app/bounded_steps.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A step that stays inside until the test lets it go, like a call into a hung device.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    void pass() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return open; });
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        cv.notify_all();
    }
};

TEST(BoundedStepsTest, StepsThatFinishAreWaitedForAndRunInOrder) {
    BoundedSteps steps(BoundedSteps::Clock::now() + 5s, 1s);
    std::vector<int> order;
    EXPECT_TRUE(steps.run([&] { order.push_back(1); }));
    EXPECT_TRUE(steps.run([&] { order.push_back(2); }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(steps.abandoned());
}

TEST(BoundedStepsTest, AStuckStepIsAbandonedAndTheOthersStillRun) {
    auto gate = std::make_shared<Gate>();
    auto later = std::make_shared<std::atomic<int>>(0);
    // Long enough for the quick steps on a loaded machine; the stuck one is waited for just as long.
    BoundedSteps steps(BoundedSteps::Clock::now() + 1s, 1s);
    const std::vector<bool> finished =
        steps.runTogether({[] {}, [gate] { gate->pass(); }, [later] { ++*later; }});
    EXPECT_EQ(finished, (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(steps.abandoned());
    // Past the deadline a new step still gets its grace time.
    EXPECT_TRUE(steps.run([later] { ++*later; }));
    EXPECT_EQ(*later, 2);
    gate->release();
}

TEST(BoundedStepsTest, AFailingStepCountsAsFinished) {
    BoundedSteps steps(BoundedSteps::Clock::now() + 5s, 1s);
    EXPECT_TRUE(steps.run([] { throw std::runtime_error("device gone"); }));
    EXPECT_FALSE(steps.abandoned());
}

}  // namespace
