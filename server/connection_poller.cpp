#include "server/connection_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <vector>

namespace {

// How often deadlines are looked at; they are seconds long, so this is their precision.
constexpr std::chrono::milliseconds kTick{100};

constexpr std::string_view kTimeoutReply =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

}  // namespace

ConnectionPoller::ConnectionPoller(Ready ready, std::chrono::milliseconds head_timeout)
    : ready_(std::move(ready)), head_timeout_(head_timeout) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
        if (epoll_fd_ >= 0) ::close(epoll_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        throw std::system_error(errno, std::generic_category(), "connection poller");
    }
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

void ConnectionPoller::start() {
    std::lock_guard lock(mutex_);
    if (started_ || stopped_) return;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void ConnectionPoller::stop() {
    std::unordered_map<int, Waiting> closing;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        for (const auto& [fd, w] : waiting_) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        closing.swap(waiting_);
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
}

void ConnectionPoller::wait(std::shared_ptr<HttpConnection> connection,
                            HttpConnection::Clock::time_point idle_deadline) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;  // the last reference goes: the connection is closed
    const int fd = connection->fd();
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0)
        throw std::system_error(errno, std::generic_category(), "watching a connection");
    waiting_[fd] = Waiting{std::move(connection), idle_deadline};
}

size_t ConnectionPoller::waiting() {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

void ConnectionPoller::unwatchLocked(int fd) {
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    waiting_.erase(fd);
}

void ConnectionPoller::closeOverdueLocked(HttpConnection::Clock::time_point now) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        const HttpConnection& c = *it->second.connection;
        const bool dawdling = c.requestStarted() && now - *c.requestStarted() > head_timeout_;
        const bool idle = !c.requestStarted() && now > it->second.idle_deadline;
        if (dawdling || idle) {
            // A client still sending its request head is told why it is dropped, if it listens.
            if (dawdling) ::send(c.fd(), kTimeoutReply.data(), kTimeoutReply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
}

void ConnectionPoller::run() {
    std::array<epoll_event, 64> events{};
    auto last_check = HttpConnection::Clock::now();
    for (;;) {
        const int n = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()),
                                   static_cast<int>(kTick.count()));
        std::vector<std::shared_ptr<HttpConnection>> complete;
        std::vector<std::shared_ptr<HttpConnection>> closing;  // closed outside the lock
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            for (int i = 0; i < n; ++i) {
                const int fd = events[static_cast<size_t>(i)].data.fd;
                const auto it = waiting_.find(fd);
                if (fd == wake_fd_ || it == waiting_.end()) continue;
                HttpConnection& c = *it->second.connection;
                const bool open = c.readAvailable();
                if (c.buffered() > 0 && c.headComplete()) {
                    complete.push_back(it->second.connection);
                    unwatchLocked(fd);
                } else if (!open) {
                    closing.push_back(it->second.connection);
                    unwatchLocked(fd);
                }
            }
            const auto now = HttpConnection::Clock::now();
            if (now - last_check >= kTick) {
                closeOverdueLocked(now);
                last_check = now;
            }
        }
        for (auto& c : complete) ready_(std::move(c));
    }
}
