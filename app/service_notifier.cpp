#include "app/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <string>

ServiceNotifier::ServiceNotifier() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) watchdog_period_ = std::chrono::microseconds(usec);
}

void ServiceNotifier::ready(std::size_t cameras, std::size_t light_sources) {
    const std::string status = "READY=1\nSTATUS=" + std::to_string(cameras) + " camera servers, " +
                               std::to_string(light_sources) + " light-source servers";
    sd_notify(0, status.c_str());
}

void ServiceNotifier::keepAlive() {
    if (watchdog_period_.count() == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_keep_alive_ < watchdog_period_ / 2) return;
    last_keep_alive_ = now;
    sd_notify(0, "WATCHDOG=1");
}

void ServiceNotifier::stopping() { sd_notify(0, "STOPPING=1"); }
