#include "discovery/dispatcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <utility>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

constexpr std::uint16_t kPort = 50000;

// A UDP client on an ephemeral loopback port with a short receive time-out.
class Client {
public:
    Client()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const timeval timeout{0, 500000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in local = loopback(0);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    void send(const std::string& payload) const
    {
        const sockaddr_in to = loopback(kPort);
        ASSERT_EQ(::sendto(fd_, payload.data(), payload.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(payload.size()));
    }

    // The next datagram, or nothing after the time-out.
    std::optional<std::string> receive() const
    {
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<std::size_t>(n));
    }

    std::optional<std::string> ask(const std::string& payload) const
    {
        send(payload);
        return receive();
    }

private:
    int fd_ = -1;
};

DiscoveryEntry makeEntry(std::string type, std::uint16_t port, std::string name,
                         std::uint32_t serial, std::string ip = "10.0.0.1")
{
    DiscoveryEntry entry;
    entry.type = std::move(type);
    entry.ip = std::move(ip);
    entry.port = port;
    entry.name = std::move(name);
    entry.serial = serial;
    entry.free = true;
    entry.changed = std::chrono::steady_clock::now();
    return entry;
}

std::string request(const std::string& type)
{
    return json{{"action", "discover"}, {"type", type}}.dump();
}

// A request of exactly `size` bytes whose JSON text fills all of it.
std::string requestOfSize(std::size_t size)
{
    const std::string head = R"({"action":"discover","type":"camera","pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

std::vector<std::uint16_t> ports(const std::optional<std::string>& reply)
{
    std::vector<std::uint16_t> result;
    for (const json& entry : json::parse(reply.value())) {
        result.push_back(entry.at("port").get<std::uint16_t>());
    }
    return result;
}

TEST(DiscoveryEntryTest, SerialisesExactlyTheSixKeysInKeyOrder)
{
    DiscoveryEntry entry = makeEntry("camera", 65535, "pco.edge", 4294967295U, "192.168.1.7");
    entry.free = false;
    EXPECT_EQ(json(entry).dump(), R"({"free":false,"ip":"192.168.1.7","name":"pco.edge",)"
                                  R"("port":65535,"serial":4294967295,"type":"camera"})");
}

// A running responder with two cameras (8080 published first) and one light source.
class DispatcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        dispatcher_.updateEntry(makeEntry("camera", 8080, "cam A", 11));
        dispatcher_.updateEntry(makeEntry("camera", 8081, "cam B", 22));
        dispatcher_.updateEntry(makeEntry("lumra", 8090, "light", 33));
        testing::internal::CaptureStdout();
        dispatcher_.start();
        testing::internal::GetCapturedStdout();
    }

    // Sends `datagram`, then a light-source request, and expects the first reply to be the
    // light-source list: any reply to `datagram` would have arrived first.
    void expectNoReplyTo(const std::string& datagram)
    {
        client_.send(datagram);
        const std::optional<std::string> reply = client_.ask(request("lumra"));
        ASSERT_TRUE(reply.has_value()) << "responder stopped answering";
        EXPECT_EQ(ports(reply), std::vector<std::uint16_t>{8090});
    }

    Dispatcher dispatcher_{kPort};
    Client client_;
};

TEST_F(DispatcherTest, ListsMatchingServersInPublicationOrderAsCompactJson)
{
    EXPECT_EQ(client_.ask(request("camera")),
              R"([{"free":true,"ip":"10.0.0.1","name":"cam A","port":8080,"serial":11,"type":"camera"},)"
              R"({"free":true,"ip":"10.0.0.1","name":"cam B","port":8081,"serial":22,"type":"camera"}])");
}

TEST_F(DispatcherTest, PublicationOrderWinsOverPortOrder)
{
    dispatcher_.updateEntry(makeEntry("camera", 8079, "cam C", 44));
    EXPECT_EQ(ports(client_.ask(request("camera"))), (std::vector<std::uint16_t>{8080, 8081, 8079}));
}

TEST_F(DispatcherTest, UnknownOrCaseDifferentTypeGetsEmptyArray)
{
    EXPECT_EQ(client_.ask(request("Camera")), "[]");
    EXPECT_EQ(client_.ask(request("")), "[]");
    EXPECT_EQ(client_.ask(request("projector")), "[]");
}

TEST(DispatcherEmptyTest, NoServersGetsEmptyArray)
{
    Dispatcher dispatcher(kPort);
    testing::internal::CaptureStdout();
    dispatcher.start();
    testing::internal::GetCapturedStdout();
    Client client;
    EXPECT_EQ(client.ask(request("camera")), "[]");
}

TEST_F(DispatcherTest, DropsInvalidRequestsAndKeepsAnswering)
{
    const std::vector<std::string> dropped{
        "",
        "discover",
        R"({"action":"discover","type":"camera")",
        R"({"action":"discover","type":"camera"} x)",
        R"({"action":"discover","type":"camera"} // comment)",
        R"({"action":"discover"})",
        R"({"action":"discover","type":null})",
        R"({"action":"discover","type":["camera"]})",
        R"({"type":"camera"})",
        R"({"action":"DISCOVER","type":"camera"})",
        R"({"action":"find","type":"camera"})",
        R"({"action":1,"type":"camera"})",
        R"({"action":{"discover":true},"type":"camera"})",
        R"({"action":null,"type":"camera"})",
        R"([{"action":"discover","type":"camera"}])",
        R"("discover")",
        "42",
        "null",
    };
    for (const std::string& datagram : dropped) {
        SCOPED_TRACE(datagram);
        expectNoReplyTo(datagram);
    }
}

TEST_F(DispatcherTest, AcceptsExtraKeysWhitespaceAndTextAfterANul)
{
    const std::vector<std::uint16_t> cameras{8080, 8081};
    EXPECT_EQ(ports(client_.ask(R"( {"type":"camera", "client":"x", "action":"discover"} )"
                                "\n\t")),
              cameras);
    EXPECT_EQ(ports(client_.ask(request("camera") + std::string("\0garbage", 8))), cameras);
}

TEST_F(DispatcherTest, ReadsAtMost511BytesOfADatagram)
{
    ASSERT_EQ(requestOfSize(511).size(), 511U);
    EXPECT_EQ(ports(client_.ask(requestOfSize(511))), (std::vector<std::uint16_t>{8080, 8081}));

    std::string padded = request("camera");
    padded.resize(600, ' ');
    EXPECT_EQ(ports(client_.ask(padded)), (std::vector<std::uint16_t>{8080, 8081}));

    {
        SCOPED_TRACE("512-byte JSON");
        expectNoReplyTo(requestOfSize(512));
    }
    {
        SCOPED_TRACE("600-byte JSON");
        expectNoReplyTo(requestOfSize(600));
    }
}

TEST_F(DispatcherTest, UpdateKeepsTheEntryInPlace)
{
    DiscoveryEntry claimed = makeEntry("camera", 8080, "cam A renamed", 12);
    claimed.free = false;
    dispatcher_.updateEntry(claimed);

    const json reply = json::parse(client_.ask(request("camera")).value());
    ASSERT_EQ(reply.size(), 2U);
    EXPECT_EQ(reply[0], json(claimed));
    EXPECT_EQ(reply[1].at("port"), 8081);
    EXPECT_EQ(reply[1].at("free"), true);
}

TEST_F(DispatcherTest, EntriesAreIdentifiedByPortAndIp)
{
    dispatcher_.updateEntry(makeEntry("camera", 8080, "other host", 55, "10.0.0.2"));
    const std::vector<DiscoveryEntry> entries = dispatcher_.entries();
    ASSERT_EQ(entries.size(), 4U);
    EXPECT_EQ(entries[0].name, "cam A");
    EXPECT_EQ(entries[3].name, "other host");
    EXPECT_EQ(entries[3].ip, "10.0.0.2");
}

TEST_F(DispatcherTest, RemoveEntryErasesOnlyTheMatchingPair)
{
    dispatcher_.removeEntry(8081, "10.0.0.2");
    dispatcher_.removeEntry(8082, "10.0.0.1");
    EXPECT_EQ(dispatcher_.entries().size(), 3U);

    dispatcher_.removeEntry(8080, "10.0.0.1");
    EXPECT_EQ(ports(client_.ask(request("camera"))), std::vector<std::uint16_t>{8081});
    EXPECT_EQ(ports(client_.ask(request("lumra"))), std::vector<std::uint16_t>{8090});

    dispatcher_.removeEntry(8081, "10.0.0.1");
    EXPECT_EQ(client_.ask(request("camera")), "[]");
}

TEST_F(DispatcherTest, ConcurrentUpdatesWhileAnswering)
{
    std::thread publisher([this] {
        for (int i = 0; i < 300; ++i) {
            DiscoveryEntry entry = makeEntry("camera", 8081, "cam B", 22);
            entry.free = (i % 2 == 0);
            dispatcher_.updateEntry(entry);
            dispatcher_.updateEntry(makeEntry("camera", 9000, "transient", 1));
            dispatcher_.removeEntry(9000, "10.0.0.1");
        }
    });
    for (int i = 0; i < 20; ++i) {
        const std::optional<std::string> reply = client_.ask(request("camera"));
        ASSERT_TRUE(reply.has_value());
        const std::vector<std::uint16_t> got = ports(reply);
        ASSERT_GE(got.size(), 2U);
        EXPECT_EQ(got[0], 8080);
        EXPECT_EQ(got[1], 8081);
    }
    publisher.join();
}

TEST(DispatcherLifecycleTest, StartTwicePrintsOneLine)
{
    Dispatcher dispatcher(kPort);
    testing::internal::CaptureStdout();
    dispatcher.start();
    dispatcher.start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[Dispatcher] UDP listening on 50000\n");
    Client client;
    EXPECT_EQ(client.ask(request("camera")), "[]");
    EXPECT_FALSE(client.receive().has_value()) << "one request answered twice";
}

TEST(DispatcherLifecycleTest, StopEndsTheThreadWithinAReceiveTimeout)
{
    Dispatcher dispatcher(kPort);
    testing::internal::CaptureStdout();
    dispatcher.start();
    testing::internal::GetCapturedStdout();
    Client client;
    ASSERT_EQ(client.ask(request("camera")), "[]");

    auto stopped = std::async(std::launch::async, [&] { dispatcher.stop(); });
    if (stopped.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        ADD_FAILURE() << "stop() still waiting for the receive thread";
        client.send(request("camera"));  // wakes a receive that has no time-out
    }
    stopped.get();

    dispatcher.updateEntry(makeEntry("camera", 8080, "late", 1));
    EXPECT_EQ(dispatcher.entries().size(), 1U);
    EXPECT_FALSE(client.ask(request("camera")).has_value());
    dispatcher.stop();
}

// Binds a plain socket to the wildcard address and the responder's port, with one reuse option
// set or none.
int bindBlocker(int reuseOption)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (reuseOption != 0) {
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, reuseOption, &one, sizeof one);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(kPort);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(DispatcherLifecycleTest, SharesThePortWithOtherReusingSockets)
{
    const int reusePortOnly = bindBlocker(SO_REUSEPORT);
    ASSERT_GE(reusePortOnly, 0);
    EXPECT_NO_THROW({
        Dispatcher first(kPort);
        Dispatcher second(kPort);
    });
    ::close(reusePortOnly);
}

TEST(DispatcherLifecycleTest, BindFailsWhenThePortIsTakenExclusively)
{
    const int blocker = bindBlocker(0);
    ASSERT_GE(blocker, 0);

    try {
        Dispatcher dispatcher(kPort);
        ADD_FAILURE() << "constructor did not throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "bind()");
    }
    ::close(blocker);
}

}  // namespace
