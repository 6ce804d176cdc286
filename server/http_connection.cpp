#include "server/http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
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
    last_read_ = static_cast<size_t>(std::max<ssize_t>(n, 0));
    buffer_.resize(old_size + last_read_);
    if (n > 0) {
        if (!request_started_) request_started_ = Clock::now();
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
    return false;
}

bool HttpConnection::readAvailable() {
    // A read that does not fill its chunk has taken everything the socket held.
    while (receive(MSG_DONTWAIT) && (last_read_ == kReadChunk || peer_closed_)) {
        if (buffered() > kMaxHeaderBytes) break;
    }
    return !ended_;
}

bool HttpConnection::readWithin(std::chrono::milliseconds timeout) {
    if (buffered() > 0) return true;
    if (ended_ || !waitFor(fd_, POLLIN, timeout)) return false;
    return receive(MSG_DONTWAIT);
}

bool HttpConnection::drained() const { return ended_ || (last_read_ < kReadChunk && !peer_closed_); }

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
    // Whether the socket takes bytes is found out by the write itself, which waits for room; a peer
    // that closed its sending side still gets its answer.
    return !write_failed_;
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    if (connection_.buffered() == 0) {
        if (connection_.ended()) return 0;
        if (!connection_.readWithin(readWait())) return connection_.ended() && connection_.buffered() == 0 ? 0 : -1;
    }
    return static_cast<ssize_t>(connection_.consume(ptr, size));
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    const std::string_view data(ptr, size);
    if (hold_next_write_) {
        hold_next_write_ = false;
        held_.assign(data);
        return static_cast<ssize_t>(size);
    }
    std::string held;
    held.swap(held_);
    return sendAll(held, data) ? static_cast<ssize_t>(size) : -1;
}

bool ConnectionStream::flush() {
    hold_next_write_ = false;
    std::string held;
    held.swap(held_);
    return held.empty() || sendAll(held);
}

bool ConnectionStream::sendAll(std::string_view first, std::string_view second) {
    if (write_failed_) return false;
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()}, {const_cast<char*>(second.data()), second.size()}};
    size_t index = 0;
    for (;;) {
        while (index < 2 && parts[index].iov_len == 0) ++index;
        if (index == 2) return true;
        msghdr message{};
        message.msg_iov = parts + index;
        message.msg_iovlen = 2 - index;
        const ssize_t n = ::sendmsg(connection_.fd(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A full send buffer is waited out; anything else, or no room in time, ends the reply.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(connection_.fd(), POLLOUT, roundedUp(write_timeout_)))
                continue;
            write_failed_ = true;
            return false;
        }
        for (size_t sent = static_cast<size_t>(n); sent > 0;) {
            const size_t taken = std::min(sent, parts[index].iov_len);
            parts[index].iov_base = static_cast<char*>(parts[index].iov_base) + taken;
            parts[index].iov_len -= taken;
            sent -= taken;
            if (parts[index].iov_len == 0) ++index;
        }
    }
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = connection_.remoteAddress();
    port = connection_.remotePort();
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip = connection_.localAddress();
    port = connection_.localPort();
}
