// Slow and idle clients against the real executable: hundreds of connections that trickle their
// request heads or idle between requests must not keep a camera's claim from being renewed, and
// must not hold up the shutdown.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/raw_connection.h"
#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qortest::RawConnection;
using qortest::ServerProcess;

constexpr uint16_t kPort = 8080;
constexpr int kSlowClients = 300;
constexpr int kIdleClients = 300;

// Sends a byte of a never-ending request head to every slow client every 100 ms, until stopped.
class Trickler {
public:
    explicit Trickler(std::vector<std::unique_ptr<RawConnection>>& clients)
        : thread_([this, &clients] {
              for (int round = 0; round < 200 && !stop_; ++round) {
                  for (auto& c : clients) c->send("a");
                  std::this_thread::sleep_for(100ms);
              }
          }) {}
    ~Trickler() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::chrono::milliseconds timedHeartbeat() {
    const auto begin = Clock::now();
    auto res = qortest::client(kPort, 5)->Post("/v1/heartbeat", "", "application/json");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    EXPECT_TRUE(res && res->status == 200);
    return took;
}

class SlowClientsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.waitUntilReady()) << server_.standardOutput() << server_.standardError();
        for (int attempt = 0; attempt < 250 && !qortest::client(kPort, 2)->Get("/v1/info"); ++attempt)
            std::this_thread::sleep_for(20ms);
    }

    // Connections made at once, each sending `text` when connected.
    static std::vector<std::unique_ptr<RawConnection>> open(int n, const std::string& text) {
        std::vector<std::unique_ptr<RawConnection>> connections;
        for (int i = 0; i < n; ++i) connections.push_back(std::make_unique<RawConnection>(kPort));
        int connected = 0;
        for (auto& c : connections) connected += c->send(text) ? 1 : 0;
        EXPECT_EQ(connected, n);
        return connections;
    }
    // Connections that have begun a request head and will never finish it.
    static std::vector<std::unique_ptr<RawConnection>> openSlow(int n) {
        return open(n, "POST /v1/heartbeat HTTP/1.1\r\nX-Slow: ");
    }

    ServerProcess server_;
};

TEST_F(SlowClientsTest, SlowAndIdleConnectionsCannotDelayAHeartbeatOrTheShutdown) {
    // Idle keep-alive connections: one answered request each, then silence.
    std::vector<std::unique_ptr<RawConnection>> idle = open(kIdleClients, "GET /v1/info HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto deadline = Clock::now() + 5s;
    int answered = 0;
    for (auto& c : idle) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        answered += c->receive(std::max(left, 0ms), "\r\n").rfind("HTTP/1.1 200", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(answered, kIdleClients);
    std::vector<std::unique_ptr<RawConnection>> slow = openSlow(kSlowClients);
    Trickler trickler(slow);

    for (int round = 0; round < 3; ++round) EXPECT_LT(timedHeartbeat(), 1s) << "round " << round;

    // The connections are all still open: the shutdown must not wait for them.
    server_.interrupt();
    const auto begin = Clock::now();
    EXPECT_EQ(server_.waitForExit(10s), 0) << server_.standardError();
    EXPECT_LT(Clock::now() - begin, 3s);
}

TEST_F(SlowClientsTest, ClientsThatDoNotFinishTheirRequestHeadAreDropped) {
    std::vector<std::unique_ptr<RawConnection>> slow = openSlow(20);
    const auto begin = Clock::now();
    Trickler trickler(slow);
    size_t dropped = 0;
    while (dropped < slow.size() && Clock::now() - begin < 10s) {
        std::this_thread::sleep_for(250ms);
        dropped = 0;
        for (auto& c : slow) dropped += c->closedByServer() ? 1 : 0;
    }
    EXPECT_EQ(dropped, slow.size());
    EXPECT_LT(Clock::now() - begin, 8s);
    // Those that keep to the rules are served as ever.
    EXPECT_LT(timedHeartbeat(), 1s);
}

}  // namespace
