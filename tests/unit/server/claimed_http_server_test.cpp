// The shared server core: start and stop in every order, a taken port, the claim and its watchdog.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "server/claimed_http_server.h"
#include "tests/support/test_entry.h"
#include "tests/support/raw_connection.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kPort = 8099;

DiscoveryEntry entry() { return qortest::testCameraEntry(kPort); }

class ClaimedHttpServerTest : public ::testing::Test {
protected:
    Dispatcher dispatcher{50010};
    ServerConsoleTags tags{"[Test port ", "\n[TEST: "};
};

TEST_F(ClaimedHttpServerTest, StopRightAfterStartEndsTheListener) {
    for (int i = 0; i < 20; ++i) {
        ClaimedHttpServer server(&dispatcher, "0.0.0.0", kPort, entry(), tags);
        server.start();
        const auto begin = std::chrono::steady_clock::now();
        server.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s) << "round " << i;
    }
}

TEST_F(ClaimedHttpServerTest, StopWithoutStartAndTwiceIsHarmless) {
    ClaimedHttpServer server(&dispatcher, "0.0.0.0", kPort, entry(), tags);
    testing::internal::CaptureStdout();
    server.stop();
    server.stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n[TEST: 8099] Heartbeat thread stopped!\n\n[TEST: 8099] HTTP Server + Thread stopped!\n");
}

TEST_F(ClaimedHttpServerTest, TakenPortLeavesTheServerSilentAndStopReturns) {
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    {
        ClaimedHttpServer server(&dispatcher, "0.0.0.0", kPort, entry(), tags);
        server.registerClaimRoutes();
        server.start();
        std::this_thread::sleep_for(100ms);
        const auto begin = std::chrono::steady_clock::now();
        server.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    }
    ::close(holder);
}

TEST_F(ClaimedHttpServerTest, EntryIsPublishedAtOnceAndHeartbeatClaimsIt) {
    ClaimedHttpServer server(&dispatcher, "0.0.0.0", kPort, entry(), tags);
    server.registerClaimRoutes();
    ASSERT_EQ(dispatcher.entries().size(), 1u);
    EXPECT_TRUE(dispatcher.entries()[0].free);
    server.start();
    httplib::Client http("127.0.0.1", kPort);
    for (int i = 0; i < 100 && !http.Get("/v1/info"); ++i) std::this_thread::sleep_for(20ms);  // listener up
    auto res = http.Post("/v1/heartbeat", "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, R"({"ok":"ok"})");
    EXPECT_FALSE(dispatcher.entries()[0].free);
    EXPECT_FALSE(server.entry().free);
    server.setFreeState(true);
    EXPECT_TRUE(dispatcher.entries()[0].free);
    auto info = http.Get("/v1/info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->body, R"({"free":true,"ip":"0.0.0.0","name":"Test","port":8099,"serial":7,"type":"camera"})");
    server.stop();
}

// Sends one raw request and returns the status line of the answer.
std::string rawRequest(const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), 0) > 0) {
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) answer.assign(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

TEST_F(ClaimedHttpServerTest, BodylessPostsWithoutContentLengthAreAnswered) {
    ClaimedHttpServer server(&dispatcher, "0.0.0.0", kPort, entry(), tags);
    server.registerClaimRoutes();
    std::string seen_param;
    server.put("/v1/put", [&](const httplib::Request& req, httplib::Response& res) {
        seen_param = req.get_param_value("x");
        res.status = 204;
    });
    server.start();
    EXPECT_EQ(rawRequest("POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_FALSE(dispatcher.entries()[0].free);
    EXPECT_EQ(rawRequest("PUT /v1/put?x=5 HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 204 No Content");
    EXPECT_EQ(seen_param, "5");
    EXPECT_EQ(rawRequest("POST /v1/nothing HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(rawRequest("POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}"),
              "HTTP/1.1 200 OK");
    server.stop();
}

// A TCP socket of its own, bound to `address`:kPort: listening, or accepted from it.
int listenOn(const char* address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int withReceiveTimeout(int fd) {
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

int connectTo(const char* address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return withReceiveTimeout(fd);
}

// Stop ends the server's own connections at once, and only those: a connection of another socket of
// the process that has the same local port number (another address) carries on.
TEST_F(ClaimedHttpServerTest, StopEndsItsOwnConnectionsAndNoOthers) {
    ClaimedHttpServer server(&dispatcher, "127.0.0.1", kPort, entry(), tags, "127.0.0.1");
    server.registerClaimRoutes();
    server.start();
    qortest::RawConnection kept_alive(kPort);
    ASSERT_TRUE(kept_alive.send("GET /v1/info HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_NE(kept_alive.receive(2s, "camera").find("camera"), std::string::npos);

    const int other_listener = listenOn("127.0.0.2");
    ASSERT_GE(other_listener, 0);
    const int other_client = connectTo("127.0.0.2");
    ASSERT_GE(other_client, 0);
    const int other_accepted = withReceiveTimeout(::accept(other_listener, nullptr, nullptr));
    ASSERT_GE(other_accepted, 0);

    testing::internal::CaptureStdout();
    server.stop();
    testing::internal::GetCapturedStdout();
    kept_alive.receive(1s);
    EXPECT_TRUE(kept_alive.closedByServer());

    // Both directions of the other connection still work.
    char byte = 0;
    EXPECT_EQ(::send(other_client, "a", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(other_accepted, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'a');
    EXPECT_EQ(::send(other_accepted, "b", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(other_client, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'b');
    ::close(other_accepted);
    ::close(other_client);
    ::close(other_listener);
}

}  // namespace
