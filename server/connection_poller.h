#pragma once

// The open connections of a listener and the threads that serve them. One thread at a time polls:
// it waits for whichever connections have a whole request head and serves those requests itself,
// one after the other, so that busy clients cost no hand-over between threads. A second thread
// watches it: when a request holds the polling thread for longer than a few milliseconds (or its
// handler says it will), the watcher takes over the polling and a new watcher starts, while the
// old poller finishes its request and is done. Connections whose request head is still arriving
// wait without a thread, and are closed when they idle past their deadline or when their head takes
// longer than the head time-out.
#include <sys/epoll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "server/http_connection.h"
#include "server/task_queue.h"

class ConnectionPoller {
public:
    /// Serves the requests whose heads the connection holds; false when it is to be closed.
    using Serve = std::function<bool(HttpConnection&)>;

    /// How long one request may hold the polling thread before another thread takes the polling over.
    static constexpr std::chrono::milliseconds kTakeOver{5};

    /// Runs its polling and watching on `threads` (two of them, and one more for each request that
    /// holds a thread beyond kTakeOver), serving at most `max_serving` requests at once.
    ConnectionPoller(std::shared_ptr<GrowingTaskQueue> threads, Serve serve, std::chrono::milliseconds head_timeout,
                     size_t max_serving);
    /// Stops and closes the connections still waiting.
    ~ConnectionPoller();
    ConnectionPoller(const ConnectionPoller&) = delete;
    ConnectionPoller& operator=(const ConnectionPoller&) = delete;

    /// Starts polling and watching, with `idle_timeout` as the longest wait for a next request; does
    /// nothing when started already or after stop().
    void start(std::chrono::milliseconds idle_timeout);
    /// Ends polling and watching and closes every waiting connection; later connections are closed at
    /// once. Requests being served finish on their threads.
    void stop();

    /// Takes a newly accepted connection in. Throws std::system_error when it cannot be watched; it is
    /// closed then.
    void add(std::shared_ptr<HttpConnection> connection);

    /// Called while a request is served: when this thread is the polling one, another takes the
    /// polling over at once (for replies known to take long, such as large bodies and streams).
    void handOver();

private:
    struct Entry {
        std::shared_ptr<HttpConnection> connection;
        HttpConnection::Clock::time_point idle_deadline;
        bool busy = false;  // a thread is reading or serving it
    };

    void poll(uint64_t duty);
    void watch();
    // Handles one readiness event; false when the thread has lost the polling duty meanwhile.
    bool handle(int fd, uint32_t events, uint64_t duty);
    bool beginServe(uint64_t duty);
    bool endServe(uint64_t duty);
    void rearm(int fd);
    void closeOverdue(HttpConnection::Clock::time_point now);

    const std::shared_ptr<GrowingTaskQueue> threads_;
    const Serve serve_;
    const std::chrono::milliseconds head_timeout_;
    const size_t max_serving_;
    std::chrono::milliseconds idle_timeout_{0};
    int epoll_fd_ = -1;
    int wake_fd_ = -1;

    std::mutex connections_mutex_;
    std::unordered_map<int, Entry> connections_;
    bool closed_ = false;  // stop() has closed the connections

    // The polling duty: which poller holds it (by number), and when its current request began.
    std::mutex duty_mutex_;
    std::condition_variable watcher_wake_;
    uint64_t duty_ = 0;
    std::optional<HttpConnection::Clock::time_point> serving_since_;
    uint64_t serves_begun_ = 0;
    size_t held_ = 0;  // former pollers still serving the request they were taken over in
    std::vector<epoll_event> pending_;  // events taken from the kernel and not yet handled
    size_t pending_next_ = 0;
    bool hand_over_ = false;
    bool watcher_resting_ = false;
    bool started_ = false;
    bool stopped_ = false;
};
