// A connection's reads and writes over a socket pair: a held reply head leaves together with its
// body, large bodies arrive whole through a full send buffer, a peer that stops reading fails the
// write after the write time-out, and a peer's half-close is read to its end.
#include "server/http_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class HttpConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        connection_ = std::make_unique<HttpConnection>(fds[0], 100);
        peer_ = fds[1];
    }
    void TearDown() override { ::close(peer_); }

    ConnectionStream stream(std::chrono::milliseconds write_timeout = 2s) {
        return ConnectionStream(*connection_, 1s, write_timeout, Clock::now() + 5s);
    }
    // What the peer can read now, without waiting.
    std::string peerReadsNow() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) text.append(buffer, static_cast<size_t>(n));
        return text;
    }

    std::unique_ptr<HttpConnection> connection_;
    int peer_ = -1;
};

TEST_F(HttpConnectionTest, AHeldHeadLeavesWithTheNextWriteOrAtTheFlush) {
    ConnectionStream out = stream();
    out.holdNextWrite();
    EXPECT_EQ(out.write("HEAD|", 5), 5);
    EXPECT_EQ(peerReadsNow(), "");
    EXPECT_EQ(out.write("BODY", 4), 4);
    EXPECT_EQ(peerReadsNow(), "HEAD|BODY");

    out.holdNextWrite();
    EXPECT_EQ(out.write("ALONE", 5), 5);
    EXPECT_EQ(peerReadsNow(), "");
    EXPECT_TRUE(out.flush());
    EXPECT_EQ(peerReadsNow(), "ALONE");
    EXPECT_TRUE(out.flush());  // nothing held: nothing sent
    EXPECT_EQ(peerReadsNow(), "");
}

TEST_F(HttpConnectionTest, ALargeBodyArrivesWholeThroughAFullSendBuffer) {
    const int small = 16 * 1024;
    ::setsockopt(connection_->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string body(3 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 4096);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(50ms);  // the writer meets a full buffer first
        char buffer[8192];
        while (received.size() < body.size() + 6) {
            const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    ConnectionStream out = stream();
    out.holdNextWrite();
    EXPECT_EQ(out.write("HEAD\r\n", 6), 6);
    EXPECT_EQ(out.write(body.data(), body.size()), static_cast<ssize_t>(body.size()));
    reader.join();
    ASSERT_EQ(received.size(), body.size() + 6);
    EXPECT_EQ(received.substr(0, 6), "HEAD\r\n");
    EXPECT_TRUE(received.compare(6, std::string::npos, body) == 0);
}

TEST_F(HttpConnectionTest, AWriteToAPeerThatStopsReadingFailsAfterTheWriteTimeout) {
    ConnectionStream out = stream(300ms);
    const std::string chunk(1 << 20, 'x');
    const auto begin = Clock::now();
    ssize_t result = 0;
    for (int i = 0; i < 64 && result >= 0; ++i) result = out.write(chunk.data(), chunk.size());
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(out.is_writable());
    EXPECT_LT(Clock::now() - begin, 3s);
}

TEST_F(HttpConnectionTest, AHalfCloseIsReadToItsEnd) {
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(peer_, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_EQ(::shutdown(peer_, SHUT_WR), 0);
    EXPECT_TRUE(connection_->readAvailable());
    EXPECT_TRUE(connection_->headComplete());
    // A short read took all there was; only the note of the close makes the next read look for the end.
    EXPECT_TRUE(connection_->drained());
    connection_->peerClosed();
    EXPECT_FALSE(connection_->drained());
    EXPECT_FALSE(connection_->readAvailable());
    EXPECT_TRUE(connection_->ended());
    EXPECT_EQ(connection_->buffered(), request.size());
}

}  // namespace
