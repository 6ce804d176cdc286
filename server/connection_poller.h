#pragma once

// Connections that wait for their next request, or whose request head is still arriving, wait here
// on one thread instead of each holding a worker: a connection goes back to the workers once its
// whole request head has arrived, and is closed when it idles past its deadline or when its head
// takes longer than the head time-out.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "server/http_connection.h"

class ConnectionPoller {
public:
    using Ready = std::function<void(std::shared_ptr<HttpConnection>)>;

    /// `ready` receives each connection whose request head is complete (called on the poller's thread).
    ConnectionPoller(Ready ready, std::chrono::milliseconds head_timeout);
    /// Stops the thread and closes the connections still waiting.
    ~ConnectionPoller();
    ConnectionPoller(const ConnectionPoller&) = delete;
    ConnectionPoller& operator=(const ConnectionPoller&) = delete;

    /// Starts the thread; does nothing when it runs or after stop().
    void start();
    /// Ends the thread and closes every waiting connection; later connections are closed at once.
    void stop();

    /// Lets the connection wait for its next request until `idle_deadline` (a request already begun
    /// has the head time-out from its first byte instead). Throws std::system_error when the
    /// connection cannot be watched; it is closed then.
    void wait(std::shared_ptr<HttpConnection> connection, HttpConnection::Clock::time_point idle_deadline);

    /// Connections waiting now.
    size_t waiting();

private:
    struct Waiting {
        std::shared_ptr<HttpConnection> connection;
        HttpConnection::Clock::time_point idle_deadline;
    };

    void run();
    void unwatchLocked(int fd);
    void closeOverdueLocked(HttpConnection::Clock::time_point now);

    const Ready ready_;
    const std::chrono::milliseconds head_timeout_;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::mutex mutex_;
    std::unordered_map<int, Waiting> waiting_;
    bool started_ = false;
    bool stopped_ = false;
    std::thread thread_;
};
