#pragma once

// UDP discovery responder: answers {"action":"discover","type":T} with the registered servers
// of type T as one compact JSON array.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/discovery_entry.h"

class Dispatcher {
public:
    // Creates and binds the UDP socket on the wildcard address; throws std::runtime_error
    // "socket()" or "bind()" when that fails. No thread is started.
    explicit Dispatcher(std::uint16_t port);

    // Stops the responder (as stop()) and drops the registry.
    ~Dispatcher();

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Starts the receive thread and prints the listening line; does nothing when already
    // running or once stopped. Throws std::system_error if the thread cannot be created.
    void start();

    // Ends the receive thread (within one receive time-out) and closes the socket; repeatable.
    void stop();

    // Overwrites the entry with the same port and ip in place, or appends a copy. Safe to call
    // while holding a lock of one's own: the responder never calls out under its mutex.
    void updateEntry(const DiscoveryEntry& entry);

    // Erases the first entry with this port and ip; the others keep their order.
    void removeEntry(std::uint16_t port, const std::string& ip);

    // Returns a copy of the registry in publication order.
    std::vector<DiscoveryEntry> entries() const;

private:
    void run();
    // The reply text for one request, or nothing when the request is to be dropped.
    std::optional<std::string> replyTo(const char* text) const;

    std::uint16_t port_;
    int socket_ = -1;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::vector<DiscoveryEntry> entries_;
    mutable std::mutex mutex_;
};
