// Slow and idle clients against the real executable: hundreds of connections that trickle their
// request heads or idle between requests must not keep a camera's claim from being renewed, and
// must not hold up the shutdown.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qortest::ServerProcess;

constexpr uint16_t kPort = 8080;
constexpr int kSlowClients = 300;
constexpr int kIdleClients = 300;

// A raw connection to the camera port.
class Connection {
public:
    Connection() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Connection() { ::close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // What arrives within `timeout`, up to the first `enough` bytes.
    std::string receive(std::chrono::milliseconds timeout, size_t enough = 12) {
        std::string text;
        const auto end = Clock::now() + timeout;
        while (text.size() < enough) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) break;
            char buffer[512];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }
    // True once the server has closed the connection (reading what it sent before).
    bool closedByServer() {
        if (!closed_) receive(0ms, 1 << 20);
        return closed_;
    }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
};

// Sends a byte of a never-ending request head to every slow client every 100 ms, until stopped.
class Trickler {
public:
    explicit Trickler(std::vector<std::unique_ptr<Connection>>& clients)
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

    // Connections that have begun a request head and will never finish it.
    std::vector<std::unique_ptr<Connection>> openSlow(int n) {
        std::vector<std::unique_ptr<Connection>> slow;
        for (int i = 0; i < n; ++i) {
            slow.push_back(std::make_unique<Connection>());
            EXPECT_TRUE(slow.back()->connected());
            slow.back()->send("POST /v1/heartbeat HTTP/1.1\r\nX-Slow: ");
        }
        return slow;
    }

    ServerProcess server_;
};

TEST_F(SlowClientsTest, SlowAndIdleConnectionsCannotDelayAHeartbeatOrTheShutdown) {
    std::vector<std::unique_ptr<Connection>> slow = openSlow(kSlowClients);
    Trickler trickler(slow);
    // Idle keep-alive connections: one answered request each, then silence.
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < kIdleClients; ++i) {
        idle.push_back(std::make_unique<Connection>());
        idle.back()->send("GET /v1/info HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    int answered = 0;
    for (auto& c : idle) answered += c->receive(5s).rfind("HTTP/1.1 200", 0) == 0 ? 1 : 0;
    EXPECT_EQ(answered, kIdleClients);

    for (int round = 0; round < 3; ++round) EXPECT_LT(timedHeartbeat(), 1s) << "round " << round;

    // The connections are all still open: the shutdown must not wait for them.
    server_.interrupt();
    const auto begin = Clock::now();
    EXPECT_EQ(server_.waitForExit(10s), 0) << server_.standardError();
    EXPECT_LT(Clock::now() - begin, 3s);
}

TEST_F(SlowClientsTest, ClientsThatDoNotFinishTheirRequestHeadAreDropped) {
    std::vector<std::unique_ptr<Connection>> slow = openSlow(20);
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
