#include "server/http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kReadChunk = 16 * 1024;
constexpr std::string_view kHeadEnd = "\r\n\r\n";

void describe(const sockaddr_storage& addr, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}

// Waits for the events on the socket; true when one came within the time.
bool waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(timeout.count(), 0)));
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

std::chrono::milliseconds roundedUp(std::chrono::microseconds t) {
    return std::chrono::ceil<std::chrono::milliseconds>(t);
}

}  // namespace

HttpConnection::HttpConnection(int fd, size_t requests) : fd_(fd), requests_left_(requests) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) describe(addr, remote_ip_, remote_port_);
    len = sizeof addr;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) describe(addr, local_ip_, local_port_);
}

HttpConnection::~HttpConnection() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
}

bool HttpConnection::receive(int flags) {
    if (ended_) return false;
    // Consumed bytes are dropped before the buffer grows.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        scanned_ = start_ = 0;
    } else if (start_ > kReadChunk) {
        buffer_.erase(0, start_);
        scanned_ -= std::min(scanned_, start_);
        start_ = 0;
    }
    const size_t old_size = buffer_.size();
    buffer_.resize(old_size + kReadChunk);
    ssize_t n = 0;
    do {
        n = ::recv(fd_, buffer_.data() + old_size, kReadChunk, flags);
    } while (n < 0 && errno == EINTR);
    buffer_.resize(old_size + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) {
        if (!request_started_) request_started_ = Clock::now();
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
    return false;
}

bool HttpConnection::readAvailable() {
    while (receive(MSG_DONTWAIT)) {
        if (buffered() > kMaxHeaderBytes) break;
    }
    return !ended_;
}

bool HttpConnection::readWithin(std::chrono::milliseconds timeout) {
    if (buffered() > 0) return true;
    if (ended_ || !waitFor(fd_, POLLIN, timeout)) return false;
    return receive(MSG_DONTWAIT);
}

bool HttpConnection::headComplete() {
    if (head_complete_ || buffered() >= kMaxHeaderBytes) return true;
    const std::string_view unread(buffer_.data() + start_, buffered());
    // Only the bytes that came since the last look are searched (with the three before them).
    const size_t from = scanned_ > start_ + 3 ? scanned_ - start_ - 3 : 0;
    scanned_ = buffer_.size();
    head_complete_ = unread.find(kHeadEnd, from) != std::string_view::npos;
    return head_complete_;
}

size_t HttpConnection::consume(char* out, size_t size) {
    const size_t n = std::min(size, buffered());
    std::memcpy(out, buffer_.data() + start_, n);
    start_ += n;
    return n;
}

void HttpConnection::finishRequest() {
    if (requests_left_ > 0) --requests_left_;
    scanned_ = start_;
    head_complete_ = false;
    if (buffered() > 0)
        request_started_ = Clock::now();
    else
        request_started_.reset();
}

ConnectionStream::ConnectionStream(HttpConnection& connection, std::chrono::microseconds read_timeout,
                                   std::chrono::microseconds write_timeout,
                                   HttpConnection::Clock::time_point head_deadline)
    : connection_(connection), read_timeout_(read_timeout), write_timeout_(write_timeout),
      head_deadline_(head_deadline) {}

std::chrono::milliseconds ConnectionStream::readWait() const {
    std::chrono::milliseconds wait = roundedUp(read_timeout_);
    if (head_deadline_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*head_deadline_ - HttpConnection::Clock::now());
        wait = std::min(wait, std::max(left, std::chrono::milliseconds(0)));
    }
    return wait;
}

bool ConnectionStream::is_readable() const { return connection_.readWithin(readWait()); }

bool ConnectionStream::is_writable() const {
    // Only whether the socket takes bytes: a peer that closed its sending side still gets its answer.
    return waitFor(connection_.fd(), POLLOUT, roundedUp(write_timeout_));
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    if (connection_.buffered() == 0) {
        if (connection_.ended()) return 0;
        if (!connection_.readWithin(readWait())) return connection_.ended() && connection_.buffered() == 0 ? 0 : -1;
    }
    return static_cast<ssize_t>(connection_.consume(ptr, size));
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    if (!is_writable()) return -1;
    ssize_t n = 0;
    do {
        n = ::send(connection_.fd(), ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = connection_.remoteAddress();
    port = connection_.remotePort();
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip = connection_.localAddress();
    port = connection_.localPort();
}
