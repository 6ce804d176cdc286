#include "tests/support/raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace qortest {
namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, static_cast<int>(std::max<int64_t>(timeout.count(), 0))) > 0;
}

}  // namespace

RawConnection::RawConnection(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

RawConnection::~RawConnection() { ::close(fd_); }

bool RawConnection::connected(std::chrono::milliseconds timeout) {
    if (connected_) return true;
    if (!waitFor(fd_, POLLOUT, timeout)) return false;
    int error = 0;
    socklen_t len = sizeof error;
    connected_ = ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    return connected_;
}

bool RawConnection::send(const std::string& text) {
    if (!connected()) return false;
    size_t done = 0;
    while (done < text.size()) {
        if (!waitFor(fd_, POLLOUT, std::chrono::seconds(5))) return false;
        const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void RawConnection::closeSending() { ::shutdown(fd_, SHUT_WR); }

std::string RawConnection::receive(std::chrono::milliseconds timeout, const std::string& enough) {
    std::string text;
    const auto end = Clock::now() + timeout;
    while (enough.empty() || text.find(enough) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (!waitFor(fd_, POLLIN, left)) break;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

bool RawConnection::closedByServer() {
    if (!closed_) receive(std::chrono::milliseconds(0));
    return closed_;
}

}  // namespace qortest
