#pragma once

// The HTTP server of a device port: cpp-httplib's request handling, with connections served so that
// slow or idle clients cannot hold the workers. A connection takes a worker only while a request of
// it is handled; between requests, and while its request head is still arriving, it waits in one
// poller. A request head must arrive whole within a few seconds of its first byte, and the listen
// backlog takes bursts of connects. A listener listens once: when its listen ends, its workers and
// poller are done.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <httplib.h>

#include "server/connection_poller.h"
#include "server/task_queue.h"

class HttpListener : public httplib::Server {
public:
    /// Longest time from the first byte of a request to the end of its head.
    static constexpr std::chrono::seconds kHeadTimeout{5};
    /// How long a worker waits for a connection's next request before handing it to the poller.
    static constexpr std::chrono::milliseconds kNextRequestGrace{20};
    /// Connects that may wait for their accept.
    static constexpr int kBacklog = 1024;

    /// Serves with at most `max_workers` requests handled at once.
    explicit HttpListener(size_t max_workers);
    ~HttpListener() override;

    /// Binds and listens as bind_to_port does, with kBacklog.
    bool bindWithBacklog(const std::string& host, int port);

    /// Worker threads that exist now.
    size_t workerCount() { return workers_->workerCount(); }

private:
    class WorkerQueue;

    bool process_and_close_socket(socket_t sock) override;
    void serve(std::shared_ptr<HttpConnection> connection);
    void waitForNextRequest(std::shared_ptr<HttpConnection> connection);

    std::shared_ptr<GrowingTaskQueue> workers_;
    ConnectionPoller poller_;
};
