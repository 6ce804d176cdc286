// The shared server core: start and stop in every order, a taken port, the claim and its watchdog.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "server/claimed_http_server.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kPort = 8099;

DiscoveryEntry entry() {
    DiscoveryEntry e;
    e.type = "camera";
    e.ip = "0.0.0.0";
    e.port = kPort;
    e.name = "Test";
    e.serial = 7;
    return e;
}

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

}  // namespace
