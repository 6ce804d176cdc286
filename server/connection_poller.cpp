#include "server/connection_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace {

// How often deadlines are looked at; they are seconds long, so this is their precision.
constexpr std::chrono::milliseconds kTick{100};

// Connections are edge-triggered: a thread that takes a connection reads it until the socket is
// empty, and new bytes raise a new event.
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;

constexpr std::string_view kTimeoutReply =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// The poller whose polling duty this thread holds, if any, and the number of that duty.
thread_local const ConnectionPoller* polling_here = nullptr;
thread_local uint64_t polling_duty = 0;

}  // namespace

ConnectionPoller::ConnectionPoller(std::shared_ptr<GrowingTaskQueue> threads, Serve serve,
                                   std::chrono::milliseconds head_timeout, size_t max_serving)
    : threads_(std::move(threads)), serve_(std::move(serve)), head_timeout_(head_timeout), max_serving_(max_serving) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
        if (epoll_fd_ >= 0) ::close(epoll_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        throw std::system_error(errno, std::generic_category(), "connection poller");
    }
    // Level-triggered: once stop() has written to it, every poller that waits sees it.
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wake_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake);
}

ConnectionPoller::~ConnectionPoller() {
    stop();
    ::close(wake_fd_);
    ::close(epoll_fd_);
}

void ConnectionPoller::start(std::chrono::milliseconds idle_timeout) {
    {
        std::lock_guard lock(connections_mutex_);
        idle_timeout_ = idle_timeout;
    }
    {
        std::lock_guard lock(duty_mutex_);
        if (started_ || stopped_) return;
        started_ = true;
    }
    const uint64_t duty = 0;
    threads_->enqueue([this, duty] { poll(duty); });
    threads_->enqueue([this] { watch(); });
}

void ConnectionPoller::stop() {
    {
        std::lock_guard lock(duty_mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    watcher_wake_.notify_all();
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    std::unordered_map<int, Entry> closing;
    {
        std::lock_guard lock(connections_mutex_);
        closed_ = true;
        for (const auto& [fd, entry] : connections_) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        closing.swap(connections_);
    }
}

void ConnectionPoller::add(std::shared_ptr<HttpConnection> connection) {
    std::lock_guard lock(connections_mutex_);
    if (closed_) return;  // the last reference goes: the connection is closed
    const int fd = connection->fd();
    // In the table before it is watched: its first event must find it.
    connections_[fd] = Entry{std::move(connection), HttpConnection::Clock::now() + idle_timeout_};
    epoll_event event{};
    event.events = kConnectionEvents;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int error = errno;
        connections_.erase(fd);
        throw std::system_error(error, std::generic_category(), "watching a connection");
    }
}

void ConnectionPoller::handOver() {
    if (polling_here != this) return;
    {
        std::lock_guard lock(duty_mutex_);
        if (duty_ != polling_duty || !serving_since_) return;
        hand_over_ = true;
    }
    watcher_wake_.notify_all();
}

void ConnectionPoller::rearm(int fd) {
    // Modifying the watch looks at the socket again: bytes that came meanwhile raise an event.
    epoll_event event{};
    event.events = kConnectionEvents;
    event.data.fd = fd;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
}

bool ConnectionPoller::beginServe(uint64_t duty) {
    bool wake_watcher = false;
    {
        std::lock_guard lock(duty_mutex_);
        if (duty_ != duty) return false;
        serving_since_ = HttpConnection::Clock::now();
        ++serves_begun_;
        wake_watcher = watcher_resting_;
    }
    if (wake_watcher) watcher_wake_.notify_all();
    return true;
}

bool ConnectionPoller::endServe(uint64_t duty) {
    {
        std::lock_guard lock(duty_mutex_);
        if (duty_ == duty) {
            serving_since_.reset();
            return !stopped_;
        }
        --held_;
    }
    // The watcher may be waiting for a free place to take over from a held poller.
    watcher_wake_.notify_all();
    return false;
}

bool ConnectionPoller::handle(int fd, uint32_t events, uint64_t duty) {
    std::shared_ptr<HttpConnection> connection;
    {
        std::lock_guard lock(connections_mutex_);
        const auto it = connections_.find(fd);
        // A connection being served by another thread is looked at again when that thread is done.
        if (it == connections_.end() || it->second.busy) return true;
        it->second.busy = true;
        connection = it->second.connection;
    }
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) connection->peerClosed();
    // A peer that has closed without a whole request head is done with.
    bool keep = connection->readAvailable();
    bool polling = true;
    if (connection->buffered() > 0 && connection->headComplete()) {
        polling = beginServe(duty);
        keep = serve_(*connection);
        // Only a serve begun as the poller can have been taken over.
        if (polling) polling = endServe(duty);
    }
    std::shared_ptr<HttpConnection> closing;
    {
        std::lock_guard lock(connections_mutex_);
        const auto it = connections_.find(fd);
        if (it != connections_.end() && it->second.connection == connection) {
            if (keep) {
                it->second.busy = false;
                it->second.idle_deadline = HttpConnection::Clock::now() + idle_timeout_;
            } else {
                ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
                closing = std::move(it->second.connection);
                connections_.erase(it);
            }
        }
    }
    // Another poller may have passed over this connection's events while it was served here.
    if (!polling && keep) rearm(fd);
    return polling;
}

void ConnectionPoller::poll(uint64_t duty) {
    polling_here = this;
    polling_duty = duty;
    std::array<epoll_event, 64> events{};
    auto last_check = HttpConnection::Clock::now();
    for (;;) {
        // Events are taken one at a time under the duty: those left when a request holds this thread
        // pass to the poller that takes over.
        std::optional<epoll_event> next;
        {
            std::lock_guard lock(duty_mutex_);
            if (stopped_ || duty_ != duty) break;
            if (pending_next_ < pending_.size()) next = pending_[pending_next_++];
        }
        if (next) {
            if (next->data.fd != wake_fd_ && !handle(next->data.fd, next->events, duty)) break;
            continue;
        }
        const auto now = HttpConnection::Clock::now();
        if (now - last_check >= kTick) {
            closeOverdue(now);
            last_check = now;
        }
        const int n = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()),
                                   static_cast<int>(kTick.count()));
        std::lock_guard lock(duty_mutex_);
        pending_.assign(events.begin(), events.begin() + std::max(n, 0));
        pending_next_ = 0;
    }
    polling_here = nullptr;
}

void ConnectionPoller::watch() {
    std::unique_lock lock(duty_mutex_);
    uint64_t seen = serves_begun_;
    while (!stopped_) {
        const bool overdue =
            serving_since_ && (hand_over_ || HttpConnection::Clock::now() - *serving_since_ >= kTakeOver);
        // After a take-over the held request and the new poller's serve at once, with those held before.
        const bool room = held_ + 2 <= max_serving_;
        if (overdue && room) {
            // The poller is held by a request: this thread polls from now on, and a new one watches.
            const uint64_t duty = ++duty_;
            ++held_;
            serving_since_.reset();
            hand_over_ = false;
            lock.unlock();
            threads_->enqueue([this] { watch(); });
            poll(duty);
            return;
        }
        if (overdue) {
            // Every place is taken: wait for a held request to end.
            const size_t held = held_;
            watcher_wake_.wait(lock, [this, held] { return stopped_ || held_ != held; });
        } else if (serving_since_) {
            const auto deadline = *serving_since_ + kTakeOver;
            watcher_wake_.wait_until(lock, deadline, [this] { return stopped_ || hand_over_; });
        } else if (serves_begun_ != seen) {
            seen = serves_begun_;
            watcher_wake_.wait_for(lock, kTakeOver, [this] { return stopped_ || hand_over_; });
        } else {
            // Nothing was served since the last look: rest until a request begins.
            watcher_resting_ = true;
            watcher_wake_.wait(lock, [this] { return stopped_ || serving_since_.has_value(); });
            watcher_resting_ = false;
        }
    }
}

void ConnectionPoller::closeOverdue(HttpConnection::Clock::time_point now) {
    std::vector<std::shared_ptr<HttpConnection>> closing;  // closed outside the lock
    std::lock_guard lock(connections_mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        // A connection being served belongs to its thread: neither its state nor its deadlines are looked at.
        if (it->second.busy) {
            ++it;
            continue;
        }
        const HttpConnection& c = *it->second.connection;
        const bool dawdling = c.requestStarted() && now - *c.requestStarted() > head_timeout_;
        const bool idle = !c.requestStarted() && now > it->second.idle_deadline;
        if (dawdling || idle) {
            // A client still sending its request head is told why it is dropped, if it listens.
            if (dawdling) ::send(c.fd(), kTimeoutReply.data(), kTimeoutReply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
            closing.push_back(std::move(it->second.connection));
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}
