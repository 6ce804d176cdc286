#include "server/http_listener.h"

#include <sys/socket.h>

#include <system_error>

namespace {

// The stream of the request this thread is serving, for the post-routing handler.
thread_local ConnectionStream* serving = nullptr;

// Replies larger than this take long enough to write that the polling passes to another thread first.
constexpr size_t kLongReply = 256 * 1024;

}  // namespace

// The library's worker pool for the accept loop: an accepted connection joins the poller at once,
// and the pool's shutdown (when the accept loop ends) stops the poller, then joins the threads.
class HttpListener::AcceptQueue : public httplib::TaskQueue {
public:
    explicit AcceptQueue(HttpListener& listener) : listener_(listener) {}
    void enqueue(std::function<void()> job) override { job(); }
    void shutdown() override {
        listener_.poller_.stop();
        listener_.workers_->shutdown();
    }

private:
    HttpListener& listener_;
};

HttpListener::HttpListener(size_t max_workers)
    : workers_(std::make_shared<GrowingTaskQueue>(max_workers + 1)),
      poller_(
          workers_, [this](HttpConnection& connection) { return serveBuffered(connection); }, kHeadTimeout,
          max_workers) {
    new_task_queue = [this] {
        poller_.start(std::chrono::seconds(keep_alive_timeout_sec_));
        return new AcceptQueue(*this);
    };
    set_post_routing_handler(nullptr);
}

HttpListener::~HttpListener() {
    poller_.stop();
    workers_->shutdown();
}

HttpListener& HttpListener::set_post_routing_handler(Handler handler) {
    httplib::Server::set_post_routing_handler(
        [this, handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
            if (handler) handler(req, res);
            if (req.method == "HEAD") return;
            // A body the reply already holds follows its head at once.
            if (serving != nullptr && !res.body.empty()) serving->holdNextWrite();
            // Streams and large bodies would hold the polling thread while they are written.
            if (res.content_provider_ || res.body.size() > kLongReply) poller_.handOver();
        });
    return *this;
}

bool HttpListener::bindWithBacklog(const std::string& host, int port) {
    if (!bind_to_port(host, port)) return false;
    // The library listens with a backlog of 5; listening again on the bound socket only enlarges it.
    ::listen(svr_sock_, kBacklog);
    return true;
}

bool HttpListener::process_and_close_socket(socket_t sock) {
    try {
        poller_.add(connections_->adopt(sock, keep_alive_max_count_));
    } catch (const std::system_error&) {
        // The connection could not be watched; it is closed with its last reference.
    }
    return true;
}

bool HttpListener::limitSendBuffer(const httplib::Request& req, int bytes) {
    return connections_->limitSendBuffer(req.remote_addr, req.remote_port, req.local_addr, req.local_port, bytes);
}

bool HttpListener::serveBuffered(HttpConnection& connection) {
    const auto read_timeout = std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_);
    const auto write_timeout =
        std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_);
    while (svr_sock_ != INVALID_SOCKET && connection.requestsLeft() > 0) {
        // The connection goes back to waiting only once its socket is empty: new bytes then raise an event.
        if (!connection.headComplete() && !connection.drained()) connection.readAvailable();
        if (connection.buffered() == 0 || !connection.headComplete()) return !connection.ended();
        ConnectionStream stream(connection, read_timeout, write_timeout,
                                connection.requestStarted().value_or(HttpConnection::Clock::now()) + kHeadTimeout);
        const bool last = connection.requestsLeft() == 1;
        bool closed = false;
        serving = &stream;
        const bool answered =
            process_request(stream, last, closed, [&stream](httplib::Request&) { stream.headParsed(); });
        serving = nullptr;
        const bool flushed = stream.flush();
        connection.finishRequest();
        if (!answered || closed || !flushed) return false;
    }
    return false;
}
