#pragma once

// The HTTP server of a device port: cpp-httplib's request handling, with connections served so that
// slow or idle clients cannot hold the workers. A connection takes a thread only while a request of
// it is handled; between requests, and while its request head is still arriving, it waits in the
// poller, whose polling thread serves the requests that arrive whole (see ConnectionPoller). A
// request head must arrive whole within a few seconds of its first byte, and the listen backlog
// takes bursts of connects. A listener listens once: when its listen ends, its workers and
// poller are done. It knows every connection it has open, so that a stop can end them all at once.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <httplib.h>

#include "server/connection_poller.h"
#include "server/open_connections.h"
#include "server/task_queue.h"

class HttpListener : public httplib::Server {
public:
    /// Longest time from the first byte of a request to the end of its head.
    static constexpr std::chrono::seconds kHeadTimeout{5};
    /// Connects that may wait for their accept.
    static constexpr int kBacklog = 1024;

    /// Serves with at most `max_workers` requests handled at once.
    explicit HttpListener(size_t max_workers);
    ~HttpListener() override;

    /// Binds and listens as bind_to_port does, with kBacklog.
    bool bindWithBacklog(const std::string& host, int port);

    /// Threads that exist now: the polling one, its watcher, and those still serving a long request.
    size_t workerCount() { return workers_->workerCount(); }

    /// Shuts down every open connection: idle keep-alive clients, requests being read and replies in
    /// flight (a live stream too) end at once instead of after their time-outs.
    void shutdownConnections() { connections_->shutdownAll(); }
    /// Caps the send buffer of the connection that carries `req` at about `bytes`, so that no more
    /// than that waits for a slow peer; false when the connection is no longer open.
    bool limitSendBuffer(const httplib::Request& req, int bytes);
    /// Connections accepted and not yet closed.
    size_t openConnections() { return connections_->count(); }

    /// The library's handler run on each reply just before it is written. The listener wraps it with
    /// its own, which lets a reply's head and body leave in one send and passes the polling on before
    /// a stream or a large body is written.
    HttpListener& set_post_routing_handler(Handler handler);

private:
    class AcceptQueue;

    bool process_and_close_socket(socket_t sock) override;
    // Serves the requests whose heads the connection holds; false when it is to be closed.
    bool serveBuffered(HttpConnection& connection);

    // Shared with the connections, which leave it when they close, however long they outlive the listener.
    const std::shared_ptr<OpenConnections> connections_ = std::make_shared<OpenConnections>();
    std::shared_ptr<GrowingTaskQueue> workers_;
    ConnectionPoller poller_;
};
