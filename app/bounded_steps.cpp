#include "app/bounded_steps.h"

#include <condition_variable>
#include <memory>
#include <mutex>

struct BoundedSteps::Running {
    struct State {
        std::mutex mutex;
        std::condition_variable finished_cv;
        bool finished = false;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    std::thread thread;
};

BoundedSteps::BoundedSteps(Clock::time_point deadline, Clock::duration grace) : deadline_(deadline), grace_(grace) {}

BoundedSteps::~BoundedSteps() = default;

BoundedSteps::Clock::time_point BoundedSteps::limit() const { return std::max(deadline_, Clock::now() + grace_); }

bool BoundedSteps::wait(Running& running, Clock::time_point limit) {
    bool finished = false;
    {
        std::unique_lock lock(running.state->mutex);
        finished = running.state->finished_cv.wait_until(lock, limit, [&] { return running.state->finished; });
    }
    if (finished) {
        running.thread.join();
        return true;
    }
    // The state is shared with the thread, so an abandoned step may still finish later safely.
    running.thread.detach();
    abandoned_ = true;
    return false;
}

bool BoundedSteps::run(std::function<void()> step) {
    std::vector<std::function<void()>> steps;
    steps.push_back(std::move(step));
    return runTogether(std::move(steps)).front();
}

std::vector<bool> BoundedSteps::runTogether(std::vector<std::function<void()>> steps) {
    const Clock::time_point until = limit();
    std::vector<Running> running(steps.size());
    std::size_t started = 0;
    try {
        for (; started < steps.size(); ++started) {
            running[started].thread = std::thread([state = running[started].state, step = std::move(steps[started])] {
                try {
                    step();
                } catch (...) {
                    // A step that fails has still ended; the shutdown goes on with the next one.
                }
                std::lock_guard lock(state->mutex);
                state->finished = true;
                state->finished_cv.notify_all();
            });
        }
    } catch (...) {
        for (std::size_t i = 0; i < started; ++i) wait(running[i], until);
        throw;
    }
    std::vector<bool> finished;
    finished.reserve(running.size());
    for (Running& r : running) finished.push_back(wait(r, until));
    return finished;
}
