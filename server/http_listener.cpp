#include "server/http_listener.h"

#include <sys/socket.h>

#include <system_error>

// The library's worker pool for the accept loop: jobs go to the listener's workers, and its shutdown
// (when the accept loop ends) first closes the waiting connections, then joins the workers.
class HttpListener::WorkerQueue : public httplib::TaskQueue {
public:
    explicit WorkerQueue(HttpListener& listener) : listener_(listener) {}
    void enqueue(std::function<void()> job) override { listener_.workers_->enqueue(std::move(job)); }
    void shutdown() override {
        listener_.poller_.stop();
        listener_.workers_->shutdown();
    }

private:
    HttpListener& listener_;
};

HttpListener::HttpListener(size_t max_workers)
    : workers_(std::make_shared<GrowingTaskQueue>(max_workers)),
      poller_(
          [this](std::shared_ptr<HttpConnection> connection) {
              workers_->enqueue([this, connection] { serve(connection); });
          },
          kHeadTimeout) {
    new_task_queue = [this] {
        poller_.start();
        return new WorkerQueue(*this);
    };
}

HttpListener::~HttpListener() {
    poller_.stop();
    workers_->shutdown();
}

bool HttpListener::bindWithBacklog(const std::string& host, int port) {
    if (!bind_to_port(host, port)) return false;
    // The library listens with a backlog of 5; listening again on the bound socket only enlarges it.
    ::listen(svr_sock_, kBacklog);
    return true;
}

bool HttpListener::process_and_close_socket(socket_t sock) {
    serve(std::make_shared<HttpConnection>(sock, keep_alive_max_count_));
    return true;
}

void HttpListener::serve(std::shared_ptr<HttpConnection> connection) {
    const auto read_timeout = std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_);
    const auto write_timeout =
        std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_);
    while (svr_sock_ != INVALID_SOCKET && connection->requestsLeft() > 0) {
        // A busy client sends its next request at once: a short wait for it spares the trip through
        // the poller, and holds the worker no longer than that.
        if (connection->buffered() == 0) connection->readWithin(kNextRequestGrace);
        connection->readAvailable();
        if (connection->buffered() == 0 || !connection->headComplete()) {
            if (!connection->ended()) waitForNextRequest(std::move(connection));
            return;
        }
        ConnectionStream stream(*connection, read_timeout, write_timeout,
                                connection->requestStarted().value_or(HttpConnection::Clock::now()) + kHeadTimeout);
        const bool last = connection->requestsLeft() == 1;
        bool closed = false;
        const bool answered =
            process_request(stream, last, closed, [&stream](httplib::Request&) { stream.headParsed(); });
        connection->finishRequest();
        if (!answered || closed) return;
    }
}

void HttpListener::waitForNextRequest(std::shared_ptr<HttpConnection> connection) {
    const auto idle_deadline = HttpConnection::Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    try {
        poller_.wait(std::move(connection), idle_deadline);
    } catch (const std::system_error&) {
        // The connection could not be watched; it is closed with its last reference.
    }
}
