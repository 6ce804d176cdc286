// The device ports' HTTP server: requests arriving whole, split, pipelined or half-closed are answered
// as before, while connections that idle or dawdle over their request head hold no worker.
#include "server/http_listener.h"
#include "tests/support/raw_connection.h"


#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qortest::RawConnection;

constexpr uint16_t kPort = 8097;

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string request(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

class HttpListenerTest : public ::testing::Test {
protected:
    void start(size_t workers, size_t keep_alive_count = 5) {
        listener_ = std::make_unique<HttpListener>(workers);
        listener_->set_keep_alive_max_count(keep_alive_count);
        listener_->Get(R"(/echo/(\w+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("<" + req.matches[1].str() + ">", "text/plain");
        });
        ASSERT_TRUE(listener_->bindWithBacklog("127.0.0.1", kPort));
        thread_ = std::thread([this] { listener_->listen_after_bind(); });
        while (!listener_->is_running()) std::this_thread::sleep_for(1ms);
    }
    void TearDown() override {
        if (!listener_) return;
        listener_->stop();
        thread_.join();
    }

    std::unique_ptr<HttpListener> listener_;
    std::thread thread_;
};

TEST_F(HttpListenerTest, SplitPipelinedAndHalfClosedRequestsAreAnsweredInOrder) {
    start(4);
    {
        RawConnection client(kPort);
        ASSERT_TRUE(client.connected());
        const std::string whole = request("/echo/split");
        for (size_t at = 0; at < whole.size(); at += 7) {
            client.send(whole.substr(at, 7));
            std::this_thread::sleep_for(20ms);
        }
        client.send(request("/echo/one") + request("/echo/two") + "GET /echo/three HTTP/1.1\r\nHo");
        client.send("st: x\r\n\r\n");
        client.closeSending();  // the answers must still come
        const std::string answer = client.receive(3s);
        EXPECT_EQ(count(answer, "HTTP/1.1 200 OK"), 4u) << answer;
        const size_t split = answer.find("<split>"), one = answer.find("<one>"), two = answer.find("<two>"),
                     three = answer.find("<three>");
        EXPECT_LT(split, one);
        EXPECT_LT(one, two);
        EXPECT_LT(two, three);
        EXPECT_NE(three, std::string::npos);
        EXPECT_TRUE(client.closedByServer());
    }
}

TEST_F(HttpListenerTest, AConnectionCarriesAtMostTheKeepAliveCount) {
    start(4, 2);
    RawConnection client(kPort);
    ASSERT_TRUE(client.connected());
    client.send(request("/echo/a") + request("/echo/b") + request("/echo/c"));
    const std::string answer = client.receive(3s);
    EXPECT_EQ(count(answer, "HTTP/1.1 200 OK"), 2u) << answer;
    EXPECT_EQ(count(answer, "Connection: close"), 1u) << answer;
    EXPECT_EQ(answer.find("<c>"), std::string::npos);
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(HttpListenerTest, IdleAndDawdlingClientsHoldNoWorker) {
    start(2);
    std::vector<std::unique_ptr<RawConnection>> idle, dawdling, kept_alive;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<RawConnection>(kPort));
        dawdling.push_back(std::make_unique<RawConnection>(kPort));
        dawdling.back()->send("GET /echo/slow HTTP/1.1\r\nHo");
        kept_alive.push_back(std::make_unique<RawConnection>(kPort));
        kept_alive.back()->send(request("/echo/kept"));
    }
    for (auto& client : kept_alive) EXPECT_EQ(count(client->receive(2s, "<kept>"), "<kept>"), 1u);
    for (int round = 0; round < 3; ++round) {
        const auto begin = Clock::now();
        RawConnection client(kPort);
        client.send(request("/echo/fresh"));
        client.closeSending();
        EXPECT_NE(client.receive(2s).find("<fresh>"), std::string::npos);
        EXPECT_LT(Clock::now() - begin, 1s) << "round " << round;
    }
    EXPECT_LE(listener_->workerCount(), 2u);
}

TEST_F(HttpListenerTest, ARequestHeadThatDoesNotArriveInTimeIsAnswered408AndClosed) {
    start(2);
    RawConnection client(kPort);
    const std::string head = "GET /echo/late HTTP/1.1\r\nX-Padding: " + std::string(100, 'a');
    const auto begin = Clock::now();
    std::string answer;
    // One byte every 200 ms: never idle long, never done.
    for (size_t i = 0; i < head.size() && !client.closedByServer(); ++i) {
        if (!client.send(head.substr(i, 1))) break;
        answer += client.receive(200ms);
    }
    const auto waited = Clock::now() - begin;
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(answer.substr(0, 25), "HTTP/1.1 408 Request Time");
    EXPECT_GT(waited, HttpListener::kHeadTimeout - 500ms);
    EXPECT_LT(waited, HttpListener::kHeadTimeout + 2s);
}

}  // namespace
