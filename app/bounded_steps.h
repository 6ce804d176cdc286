#pragma once

// Runs the steps of a shutdown each on a thread of its own, waiting for each only until a deadline,
// so that a device stuck inside a vendor call cannot hold the process forever.
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

class BoundedSteps {
public:
    using Clock = std::chrono::steady_clock;

    /// Steps may run until `deadline`; a step started later still gets `grace` to finish.
    BoundedSteps(Clock::time_point deadline, Clock::duration grace);
    /// Abandoned steps keep running; the caller must not end the process normally while they do.
    ~BoundedSteps();
    BoundedSteps(const BoundedSteps&) = delete;
    BoundedSteps& operator=(const BoundedSteps&) = delete;

    /// Runs `step` and waits for it; false when it was abandoned, still running, at the time limit.
    /// Whatever the step uses must then stay alive until the process ends. Throws std::system_error
    /// when no thread can be made.
    bool run(std::function<void()> step);
    /// Runs the steps side by side and waits for all of them; element i is false when step i was
    /// abandoned at the time limit.
    std::vector<bool> runTogether(std::vector<std::function<void()>> steps);

    /// True once any step was abandoned.
    bool abandoned() const { return abandoned_; }

private:
    struct Running;
    Clock::time_point limit() const;
    bool wait(Running& running, Clock::time_point limit);

    Clock::time_point deadline_;
    Clock::duration grace_;
    bool abandoned_ = false;
};
