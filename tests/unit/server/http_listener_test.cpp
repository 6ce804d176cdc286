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
        // An endless reply, a chunk every few milliseconds, until the connection fails (bounded).
        listener_->Get("/endless", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
                if (offset > 0) std::this_thread::sleep_for(5ms);
                if (offset > 100000) sink.done();
                return sink.write("chunk;", 6);
            });
        });
        // A handler that holds its thread for the given milliseconds.
        listener_->Get(R"(/sleep/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(req.matches[1].str())));
            res.set_content("<slept>", "text/plain");
        });
        listener_->Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(8 << 20, 'b'), "application/octet-stream");
        });
        listener_->Get("/limit", [this](const httplib::Request& req, httplib::Response& res) {
            httplib::Request elsewhere = req;
            ++elsewhere.remote_port;
            const bool own = listener_->limitSendBuffer(req, 64 * 1024);
            const bool other = listener_->limitSendBuffer(elsewhere, 64 * 1024);
            res.set_content(std::string("[") + (own ? "own" : "none") + (other ? "+other" : "") + "]", "text/plain");
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
    // The two requests that may be served at once (one of them on a polling thread that was taken
    // over when a request held it, as on a slow machine), and the watcher.
    EXPECT_LE(listener_->workerCount(), 2u + 1);
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

// A request that answers within `limit`.
void expectQuickAnswer(const std::string& path, const std::string& expected, std::chrono::milliseconds limit) {
    const auto begin = Clock::now();
    RawConnection client(kPort);
    ASSERT_TRUE(client.send(request(path)));
    EXPECT_NE(client.receive(2s, expected).find(expected), std::string::npos) << path;
    EXPECT_LT(Clock::now() - begin, limit) << path;
}

TEST_F(HttpListenerTest, RequestsThatHoldTheirThreadDoNotHoldTheOthers) {
    start(4);
    // Two slow handlers at once, a reader that does not read a large reply, and quick requests beside them.
    RawConnection slow_a(kPort), slow_b(kPort), not_reading(kPort);
    const auto begin = Clock::now();
    ASSERT_TRUE(slow_a.send(request("/sleep/700")));
    ASSERT_TRUE(slow_b.send(request("/sleep/700")));
    ASSERT_TRUE(not_reading.send(request("/big")));
    std::this_thread::sleep_for(50ms);
    for (int i = 0; i < 5; ++i) expectQuickAnswer("/echo/quick", "<quick>", 300ms);
    for (RawConnection* client : {&slow_a, &slow_b}) EXPECT_NE(client->receive(3s, "<slept>").find("<slept>"), std::string::npos);
    EXPECT_GT(Clock::now() - begin, 650ms);
    // The slow connections are kept alive and served again.
    ASSERT_TRUE(slow_a.send(request("/echo/again")));
    EXPECT_NE(slow_a.receive(2s, "<again>").find("<again>"), std::string::npos);
    // The large reply arrives whole once read.
    const std::string big = not_reading.receive(5s, std::string(1024, 'b') + "");
    EXPECT_NE(big.find("HTTP/1.1 200 OK"), std::string::npos);
    EXPECT_LE(listener_->workerCount(), 5u);
}

TEST_F(HttpListenerTest, WithEveryWorkerHeldFurtherRequestsWaitTheirTurn) {
    start(1);
    RawConnection slow(kPort);
    ASSERT_TRUE(slow.send(request("/sleep/400")));
    std::this_thread::sleep_for(50ms);
    const auto begin = Clock::now();
    expectQuickAnswer("/echo/later", "<later>", 2s);
    EXPECT_GT(Clock::now() - begin, 250ms);
    EXPECT_NE(slow.receive(2s, "<slept>").find("<slept>"), std::string::npos);
    expectQuickAnswer("/echo/free", "<free>", 300ms);
}

// Waits (bounded) until the listener holds `n` open connections.
bool openConnectionsReach(HttpListener& listener, size_t n) {
    for (int i = 0; i < 300 && listener.openConnections() != n; ++i) std::this_thread::sleep_for(10ms);
    return listener.openConnections() == n;
}

TEST_F(HttpListenerTest, ShuttingConnectionsDownEndsIdleKeptAliveAndStreamingClientsAtOnce) {
    start(4);
    RawConnection idle(kPort), kept_alive(kPort), streaming(kPort);
    ASSERT_TRUE(idle.connected());
    ASSERT_TRUE(kept_alive.send(request("/echo/kept")));
    EXPECT_NE(kept_alive.receive(2s, "<kept>").find("<kept>"), std::string::npos);
    ASSERT_TRUE(streaming.send(request("/endless")));
    EXPECT_NE(streaming.receive(2s, "chunk;").find("chunk;"), std::string::npos);
    ASSERT_TRUE(openConnectionsReach(*listener_, 3));

    listener_->shutdownConnections();
    for (RawConnection* client : {&idle, &kept_alive, &streaming}) {
        client->receive(2s);
        EXPECT_TRUE(client->closedByServer());
    }
    EXPECT_TRUE(openConnectionsReach(*listener_, 0));
}

TEST_F(HttpListenerTest, AHandlerReachesTheSendBufferOfItsOwnConnectionOnly) {
    start(2);
    RawConnection client(kPort);
    ASSERT_TRUE(client.send(request("/limit")));
    const std::string answer = client.receive(2s, "]");
    EXPECT_NE(answer.find("\r\n\r\n[own]"), std::string::npos) << answer;
}

}  // namespace
