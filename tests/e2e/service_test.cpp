// The service end to end: start-up, discovery, the claim, info, set-free and shutdown of the real
// executable, talked to over UDP and HTTP in a private network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using qortest::ServerProcess;
using qortest::position;

// A raw keep-alive connection that sent one request and then stays idle.
class IdleConnection {
public:
    explicit IdleConnection(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        const char request[] = "GET /v1/info HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";
        if (connected_) connected_ = ::send(fd_, request, sizeof request - 1, 0) > 0;
        timeval tv{3, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buffer[4096];
        if (connected_) connected_ = ::recv(fd_, buffer, sizeof buffer, 0) > 0;
    }
    ~IdleConnection() { ::close(fd_); }
    bool connected() const { return connected_; }

private:
    int fd_ = -1;
    bool connected_ = false;
};

bool portOpen(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    ::close(fd);
    return ok;
}


std::string threeCameras() {
    return R"({"cameras": [{"template": "mono", "serial": 11, "name": "A"},
                           {"template": "color", "serial": 12, "name": "B"},
                           {"template": "mono", "serial": 13, "name": "C"}]})";
}

TEST(ServiceTest, DefaultCamerasComeUpAnswerDiscoveryAndInfoAndShutDownInOrder) {
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady()) << server.standardOutput() << server.standardError();
    const std::string out = server.standardOutput();
    EXPECT_LT(position(out, "[Dispatcher] UDP listening on 50000\n"),
              position(out, "[MAIN] UDP dispatcher started on port 50000\n"));
    EXPECT_LT(position(out, "[MAIN] Found camera SN 10001\n"), position(out, "[MAIN] Found camera SN 10002\n"));
    position(out, "[MAIN] 2 camera servers up and running.\n[MAIN] Press Ctrl-C to quit.\n");
    EXPECT_EQ(server.standardError(), "[MAIN] More cameras found . . . i have not!\n");

    auto reply = qortest::discoverRaw(R"({"action":"discover","type":"camera"})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply,
              R"([{"free":true,"ip":"0.0.0.0","name":"SimCam Mono","port":8080,"serial":10001,"type":"camera"},)"
              R"({"free":true,"ip":"0.0.0.0","name":"SimCam Color","port":8081,"serial":10002,"type":"camera"}])");
    auto info = qortest::client(8080)->Get("/v1/info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200);
    EXPECT_EQ(info->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(info->body, R"({"free":true,"ip":"0.0.0.0","name":"SimCam Mono","port":8080,"serial":10001,"type":"camera"})");
    EXPECT_EQ(qortest::client(8081)->Head("/v1/info")->status, 200);

    const auto sent = std::chrono::steady_clock::now();
    server.interrupt();
    ASSERT_TRUE(server.waitForOutput("[MAIN] Shutting down...", 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);  // one polling period, with slack for a loaded machine
    EXPECT_EQ(server.waitForExit(5s), 0);
    qortest::expectShutdownLinesInOrder(server.standardOutput());
}

TEST(ServiceTest, DiscoveryFiltersByTypeAndDropsInvalidRequests) {
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady());
    EXPECT_EQ(qortest::discover("camera").size(), 2u);
    EXPECT_EQ(qortest::discoverRaw(R"({"action":"discover","type":"Camera"})"), "[]");
    EXPECT_EQ(qortest::discoverRaw(R"({"action":"discover","type":"lumra"})"), "[]");
    EXPECT_FALSE(qortest::discoverRaw(R"({"action":"discover"})"));
    EXPECT_FALSE(qortest::discoverRaw(R"(["discover"])"));
    EXPECT_FALSE(qortest::discoverRaw(R"({"action":5,"type":"camera"})"));
    // Only 511 bytes of a datagram are read: a request padded beyond them is cut and not answered.
    std::string long_request = R"({"action":"discover","type":"camera","pad":")" + std::string(560, 'x') + "\"}";
    EXPECT_FALSE(qortest::discoverRaw(long_request));
    EXPECT_EQ(qortest::discover("camera").size(), 2u);  // still answering
}

TEST(ServiceTest, HeartbeatClaimsTheCameraAndTheEntryKeepsItsPlace) {
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady());
    auto res = qortest::client(8081)->Post("/v1/heartbeat", "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"ok":"ok"})");
    nlohmann::json cameras = qortest::discover();
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0]["port"], 8080);
    EXPECT_EQ(cameras[0]["free"], true);
    EXPECT_EQ(cameras[1]["port"], 8081);
    EXPECT_EQ(cameras[1]["free"], false);
    EXPECT_EQ(nlohmann::json::parse(qortest::client(8081)->Get("/v1/info")->body)["free"], false);
}

TEST(ServiceTest, ClaimLastsWhileHeartbeatsComeAndLapsesFiveToSixSecondsAfterTheLast) {
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady());
    auto http = qortest::client(8080);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(http->Post("/v1/heartbeat", "", "text/plain"));
        std::this_thread::sleep_for(i < 2 ? 4s : 0s);
        EXPECT_EQ(qortest::discover()[0]["free"], false) << "heartbeat " << i;
    }
    const auto last = std::chrono::steady_clock::now();
    bool freed = false;
    while (std::chrono::steady_clock::now() - last < 8s) {
        if (qortest::discover()[0]["free"] == true) {
            freed = true;
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    const auto lapse = std::chrono::steady_clock::now() - last;
    ASSERT_TRUE(freed);
    EXPECT_GE(lapse, 5s);
    EXPECT_LT(lapse, 7s);
    EXPECT_NE(server.standardOutput().find("[Cam port 8080] heartbeat timeout - set free\n"), std::string::npos);
}

TEST(ServiceTest, SetFreeReopensTheCameraAndAFailedReopenAnswersTheError) {
    // The second open of the camera (the reopen) fails once.
    ServerProcess server(R"({"cameras": [{"template": "mono", "serial": 21, "name": "Only"}],
                             "faults": [{"call": "QOR_OpenCameraDevice", "status": -2146172925, "skip": 1}]})");
    ASSERT_TRUE(server.waitUntilReady());
    auto http = qortest::client(8080);
    ASSERT_TRUE(http->Post("/v1/heartbeat", "", "text/plain"));
    auto failed = http->Post("/v1/setFree", "", "text/plain");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 503);
    // The "any" open skips the entry that failed and then fails on the missing handle.
    EXPECT_EQ(failed->body, R"({"code":-2146172926,"where":"open"})");
    EXPECT_EQ(qortest::discover()[0]["free"], true);
    auto ok = http->Post("/v1/setFree", "", "text/plain");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->body, "");
    const std::string out = server.standardOutput();
    size_t first = out.find("[Cam port 8080] Manually set to free\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(out.find("[Cam port 8080] Manually set to free\n", first + 1), std::string::npos);
    EXPECT_NE(out.find("open() failed:qor::CameraException (0x80140002): Invalid camera handle\n"), std::string::npos);
}

TEST(ServiceTest, WithoutCamerasTheProcessExitsWithStatusOneAndOpensNoPort) {
    ServerProcess server(R"({"cameras": []})");
    EXPECT_EQ(server.waitForExit(10s), 1);
    const std::string err = server.standardError();
    EXPECT_NE(err.find("\n[MAIN] Cameras not found . . . i have!\n"), std::string::npos) << err;
    EXPECT_FALSE(portOpen(8080));
}

TEST(ServiceTest, ThreeCamerasGetConsecutivePorts) {
    ServerProcess server(threeCameras());
    ASSERT_TRUE(server.waitUntilReady());
    EXPECT_NE(server.standardOutput().find("[MAIN] 3 camera servers up and running.\n"), std::string::npos);
    nlohmann::json cameras = qortest::discover();
    ASSERT_EQ(cameras.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(cameras[i]["port"], 8080 + i);
        EXPECT_EQ(cameras[i]["serial"], 11 + i);
        auto info = qortest::client(static_cast<uint16_t>(8080 + i))->Get("/v1/info");
        ASSERT_TRUE(info);
        EXPECT_EQ(nlohmann::json::parse(info->body)["serial"], 11 + i);
    }
}

TEST(ServiceTest, SdkInitialisationFailureIsFatalWithOnlyTheFatalLine) {
    ServerProcess server(R"({"sdk": {"init_status": -2146172927}, "cameras": [{"serial": 1}]})");
    EXPECT_EQ(server.waitForExit(10s), 1);
    EXPECT_EQ(server.standardError(), "[MAIN] Fatal Error: qor::CameraException (0x80140001): SDK library not initialized\n");
}

TEST(ServiceTest, DiscoveryPortTakenIsFatal) {
    int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(50000);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ServerProcess server;
    EXPECT_EQ(server.waitForExit(10s), 1);
    EXPECT_EQ(server.standardError(), "[MAIN] Fatal Error: bind()\n");
    ::close(holder);
}

TEST(ServiceTest, IdleKeepAliveClientsLockNobodyOutAndDoNotDelayShutdown) {
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady());
    std::vector<std::unique_ptr<IdleConnection>> idle;
    for (int i = 0; i < 16; ++i) {
        idle.push_back(std::make_unique<IdleConnection>(8080));
        ASSERT_TRUE(idle.back()->connected()) << i;
    }
    auto http = qortest::client(8080, 3);
    const auto asked = std::chrono::steady_clock::now();
    auto res = http->Post("/v1/heartbeat", "", "text/plain");
    ASSERT_TRUE(res);  // a locked-out client would wait for an idle connection's 5 s time-out
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);

    const auto sent = std::chrono::steady_clock::now();
    server.interrupt();
    EXPECT_EQ(server.waitForExit(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
}

TEST(ServiceTest, PortTakenByAnotherProcessLeavesTheServerSilentAndShutdownWorks) {
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8081);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady());
    EXPECT_EQ(qortest::discover().size(), 2u);  // the entry stays published
    server.interrupt();
    EXPECT_EQ(server.waitForExit(5s), 0);
    ::close(holder);
}

TEST(ServiceTest, AdvertisedAddressFollowsTheInterfaces) {
    if (std::system("ip link add qortest0 type bridge 2>/dev/null && ip addr add 192.168.144.10/24 dev qortest0 && "
                    "ip link set qortest0 up && ip link add qortest1 type bridge && "
                    "ip addr add 10.0.0.5/24 dev qortest1 && ip link set qortest1 up") != 0)
        GTEST_SKIP() << "cannot create interfaces here";
    ServerProcess server;
    ASSERT_TRUE(server.waitUntilReady());
    EXPECT_EQ(qortest::discover()[0]["ip"], "10.0.0.5");
    server.interrupt();
    server.waitForExit(5s);
    EXPECT_EQ(std::system("ip link del qortest0 && ip link del qortest1"), 0);
}

}  // namespace
