// The set of a listener's open connections: a connection is in it exactly while its socket is open,
// and what is done to the set reaches the right sockets and no others.
#include "server/open_connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <gtest/gtest.h>

namespace {

// A connected pair of loopback TCP sockets: the client's end and the accepted end.
struct SocketPair {
    int client = -1;
    int accepted = -1;
    sockaddr_in client_address{};
    sockaddr_in server_address{};
};

SocketPair connectedPair() {
    SocketPair pair;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    socklen_t len = sizeof pair.server_address;
    pair.server_address.sin_family = AF_INET;
    pair.server_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&pair.server_address), len) == 0 && ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&pair.server_address), &len) == 0) {
        pair.client = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{2, 0};
        ::setsockopt(pair.client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(pair.client, reinterpret_cast<sockaddr*>(&pair.server_address), len) == 0) {
            pair.accepted = ::accept(listener, nullptr, nullptr);
            len = sizeof pair.client_address;
            ::getsockname(pair.client, reinterpret_cast<sockaddr*>(&pair.client_address), &len);
        }
    }
    ::close(listener);
    return pair;
}

int sendBufferOf(int fd) {
    int bytes = 0;
    socklen_t len = sizeof bytes;
    ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, &len);
    return bytes;
}

bool limit(OpenConnections& open, const SocketPair& pair, int bytes) {
    return open.limitSendBuffer("127.0.0.1", ntohs(pair.client_address.sin_port), "127.0.0.1",
                                ntohs(pair.server_address.sin_port), bytes);
}

// The peer sees the end of the connection (orderly close or shutdown).
bool peerSeesEnd(int client) {
    char byte = 0;
    return ::recv(client, &byte, 1, 0) == 0;
}

TEST(OpenConnectionsTest, AConnectionLeavesTheSetAndClosesWithItsLastReference) {
    auto open = std::make_shared<OpenConnections>();
    const SocketPair pair = connectedPair();
    ASSERT_GE(pair.accepted, 0);
    std::shared_ptr<HttpConnection> connection = open->adopt(pair.accepted, 5);
    std::shared_ptr<HttpConnection> copy = connection;
    EXPECT_EQ(open->count(), 1u);
    connection.reset();
    EXPECT_EQ(open->count(), 1u);
    EXPECT_EQ(::fcntl(pair.accepted, F_GETFD), 0);

    // The set may go before its connections: they still leave it when they close.
    std::weak_ptr<OpenConnections> set = open;
    open.reset();
    EXPECT_FALSE(set.expired());
    copy.reset();
    EXPECT_TRUE(set.expired());
    EXPECT_EQ(::fcntl(pair.accepted, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(peerSeesEnd(pair.client));
    ::close(pair.client);
}

TEST(OpenConnectionsTest, SendBufferIsCappedOnlyOnTheConnectionWithThoseEndpoints) {
    auto open = std::make_shared<OpenConnections>();
    const SocketPair first = connectedPair(), second = connectedPair();
    ASSERT_GE(first.accepted, 0);
    ASSERT_GE(second.accepted, 0);
    auto first_connection = open->adopt(first.accepted, 5);
    auto second_connection = open->adopt(second.accepted, 5);
    const int second_before = sendBufferOf(second.accepted);
    constexpr int kBytes = 300 * 1024;  // above the kernel's starting size, so that a change shows

    EXPECT_TRUE(limit(*open, first, kBytes));
    EXPECT_GE(sendBufferOf(first.accepted), kBytes);
    EXPECT_EQ(sendBufferOf(second.accepted), second_before);
    EXPECT_FALSE(open->limitSendBuffer("127.0.0.2", ntohs(second.client_address.sin_port), "127.0.0.1",
                                       ntohs(second.server_address.sin_port), kBytes));
    EXPECT_FALSE(open->limitSendBuffer("127.0.0.1", ntohs(second.client_address.sin_port), "127.0.0.1",
                                       ntohs(second.server_address.sin_port) + 1, kBytes));
    EXPECT_EQ(sendBufferOf(second.accepted), second_before);

    first_connection.reset();
    EXPECT_FALSE(limit(*open, first, kBytes));
    ::close(first.client);
    ::close(second.client);
}

TEST(OpenConnectionsTest, ShutdownAllEndsEveryOpenConnection) {
    auto open = std::make_shared<OpenConnections>();
    const SocketPair first = connectedPair(), second = connectedPair();
    ASSERT_GE(first.accepted, 0);
    ASSERT_GE(second.accepted, 0);
    auto first_connection = open->adopt(first.accepted, 5);
    auto second_connection = open->adopt(second.accepted, 5);
    open->shutdownAll();
    EXPECT_TRUE(peerSeesEnd(first.client));
    EXPECT_TRUE(peerSeesEnd(second.client));
    EXPECT_EQ(open->count(), 2u);  // shut down, not closed: their owners still hold them
    ::close(first.client);
    ::close(second.client);
}

}  // namespace
