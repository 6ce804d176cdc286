#pragma once

// Tells a service manager (systemd) how the service is doing. Without a manager (no NOTIFY_SOCKET in
// the environment) every call does nothing.
#include <chrono>
#include <cstddef>
#include <cstdint>

class ServiceNotifier {
public:
    /// Reads whether the manager expects keep-alive messages and how often.
    ServiceNotifier();

    /// Every server listens: the manager may consider the service started.
    void ready(std::size_t cameras, std::size_t light_sources);
    /// The main loop is alive; sends a keep-alive at most twice per watchdog period. Call it often.
    void keepAlive();
    /// The ordered shutdown has begun.
    void stopping();

private:
    std::chrono::microseconds watchdog_period_{0};
    std::chrono::steady_clock::time_point last_keep_alive_{};
};
