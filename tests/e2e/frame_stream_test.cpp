// The ZeroMQ image stream of the real executable: configuration routes, what one and several
// consumers receive, drops when a consumer stalls, and shutdown with a consumer still connected.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "tests/support/expected_pattern.h"
#include "tests/support/server_process.h"

namespace {

using qortest::get;
using qortest::post;
using qortest::put;

using namespace std::chrono_literals;
using nlohmann::json;
using qortest::ServerProcess;

constexpr uint16_t kMonoPort = 8080;
constexpr uint16_t kColorPort = 8081;
constexpr const char* kMonoStream = "tcp://127.0.0.1:9000";
constexpr const char* kColorStream = "tcp://127.0.0.1:9001";

/// One message of the stream: its JSON part and, for images, the pixel bytes.
struct Message {
    json head;
    std::string pixels;
    std::string type() const { return head.at("type").get<std::string>(); }
};

/// Everything one consumer received until the end message (or until it gave up).
struct Received {
    std::vector<Message> images;
    std::optional<json> header;
    std::optional<json> end;
};

std::optional<Message> receive(zmq::socket_t& socket, std::chrono::milliseconds timeout) {
    zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, timeout) == 0) return std::nullopt;
    zmq::message_t first;
    if (!socket.recv(first, zmq::recv_flags::none)) return std::nullopt;
    Message message{json::parse(first.to_string()), {}};
    if (first.more()) {
        zmq::message_t second;
        (void)socket.recv(second, zmq::recv_flags::none);
        message.pixels = second.to_string();
        EXPECT_FALSE(second.more()) << "an image is two parts";
    }
    return message;
}

/// Reads until the end message, or until nothing came for `quiet`.
Received receiveSeries(zmq::socket_t& socket, std::chrono::milliseconds quiet = 10s) {
    Received got;
    while (auto message = receive(socket, quiet)) {
        const std::string type = message->type();
        if (type == "header") got.header = message->head;
        if (type == "image") got.images.push_back(std::move(*message));
        if (type == "end") {
            got.end = message->head;
            break;
        }
    }
    return got;
}

std::vector<uint16_t> words(const std::string& bytes) {
    std::vector<uint16_t> pixels(bytes.size() / 2);
    std::memcpy(pixels.data(), bytes.data(), pixels.size() * 2);
    return pixels;
}

class FrameStreamTest : public ::testing::Test {
protected:
    FrameStreamTest() : server_("", "stream") {}

    void SetUp() override { ASSERT_TRUE(server_.waitUntilReady()) << server_.standardOutput() << server_.standardError(); }


    static json streamConfiguration(uint16_t port) {
        auto res = get(port, "/v1/getStreamConfiguration");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body) : json();
    }

    static void enableStream(uint16_t port, json settings) {
        settings["enabled"] = true;
        auto res = put(port, "/v1/setStreamConfiguration", settings.dump());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << settings.dump();
    }

    /// Region, exposure and time-stamp mode of the next recordings.
    static void configure(uint16_t port, const json& roi, double exposure_s, int timestamp_mode = 0) {
        auto got = get(port, "/v1/getConfiguration");
        ASSERT_TRUE(got);
        json config = json::parse(got->body);
        config["roi"] = roi;
        config["exposure_time_s"] = exposure_s;
        config["timestamp_mode"] = timestamp_mode;
        auto set = put(port, "/v1/setConfiguration", config.dump());
        ASSERT_TRUE(set);
        ASSERT_EQ(set->status, 200) << set->body;
    }

    static void record(uint16_t port, int count, const char* mode) {
        auto res = post(port, "/v1/record", {{"imgCount", std::to_string(count)}, {"recMode", mode}});
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
    }

    /// A consumer socket connected to `endpoint`; gives the connection a moment to be set up, since
    /// messages sent before that go nowhere.
    zmq::socket_t consumer(zmq::socket_type type, const char* endpoint, int receive_hwm = 1000) {
        zmq::socket_t socket(context_, type);
        socket.set(zmq::sockopt::rcvhwm, receive_hwm);
        socket.set(zmq::sockopt::linger, 0);
        if (type == zmq::socket_type::sub) socket.set(zmq::sockopt::subscribe, "");
        socket.connect(endpoint);
        std::this_thread::sleep_for(300ms);
        return socket;
    }

    zmq::context_t context_;
    ServerProcess server_;
};

// ---------------------------------------------------------------------------------------------
// Configuration routes

TEST_F(FrameStreamTest, StartsDisabledWithOneEndpointPerCamera) {
    EXPECT_EQ(streamConfiguration(kMonoPort),
              (json{{"enabled", false}, {"endpoint", "tcp://*:9000"}, {"pattern", "push"}, {"format", "Mono16"},
                    {"high_water_mark", 64}, {"sent", 0}, {"dropped", 0}}));
    EXPECT_EQ(streamConfiguration(kColorPort).at("endpoint"), "tcp://*:9001");
}

TEST_F(FrameStreamTest, BadValuesAreRefusedAndLeaveTheConfigurationAsItWas) {
    const json before = streamConfiguration(kMonoPort);
    struct Case {
        const char* body;
        int status;
    };
    for (const Case& c : {Case{R"({"enabled":false,"pattern":"pull"})", 400},
                          Case{R"({"enabled":false,"format":"Nope"})", 400}, Case{R"({"format":"Mono8"})", 400},
                          Case{R"({"enabled":true,"format":"CompressedMono8"})", 400},
                          Case{R"({"enabled":true,"format":"BGR16"})", 400},  // not for a mono camera
                          Case{R"({"enabled":true,"format":"Undefined"})", 400},
                          Case{R"({"enabled":true,"high_water_mark":0})", 400},
                          Case{R"({"enabled":true,"high_water_mark":-3})", 400},
                          Case{R"({"enabled":true,"high_water_mark":2.5})", 400},
                          Case{R"({"enabled":true,"high_water_mark":1e12})", 400}, Case{R"([true])", 400},
                          Case{R"({"enabled":true,"endpoint":"nonsense"})", 400},
                          Case{R"({"enabled":true,"endpoint":"tcp://*:99999"})", 400},
                          Case{R"({"enabled":"yes"})", 500}, Case{R"({"enabled":true,"high_water_mark":"8"})", 500},
                          Case{R"({"enabled":false,"format":3})", 500}, Case{R"({"enabled":)", 500}}) {
        auto res = put(kMonoPort, "/v1/setStreamConfiguration", c.body);
        ASSERT_TRUE(res) << c.body;
        EXPECT_EQ(res->status, c.status) << c.body;
        EXPECT_EQ(res->body, "") << c.body;
        EXPECT_EQ(streamConfiguration(kMonoPort), before) << c.body;
    }
}

TEST_F(FrameStreamTest, AnEndpointInUseIsRefusedAndTheOtherCameraKeepsItsOwn) {
    enableStream(kMonoPort, {});
    auto clash = put(kColorPort, "/v1/setStreamConfiguration", R"({"enabled":true,"endpoint":"tcp://*:9000"})");
    ASSERT_TRUE(clash);
    EXPECT_EQ(clash->status, 400);
    EXPECT_FALSE(streamConfiguration(kColorPort).at("enabled").get<bool>());
    EXPECT_TRUE(streamConfiguration(kMonoPort).at("enabled").get<bool>());
    // Disabling releases the endpoint for the other camera.
    ASSERT_EQ(put(kMonoPort, "/v1/setStreamConfiguration", R"({"enabled":false})")->status, 200);
    EXPECT_EQ(put(kColorPort, "/v1/setStreamConfiguration", R"({"enabled":true,"endpoint":"tcp://*:9000"})")->status,
              200);
}

// ---------------------------------------------------------------------------------------------
// What consumers receive

TEST_F(FrameStreamTest, OneConsumerReceivesEveryImageOfAFifoRecordingInOrder) {
    configure(kMonoPort, {{"x0", 65}, {"y0", 33}, {"x1", 192}, {"y1", 96}}, 0.002);
    enableStream(kMonoPort, {{"high_water_mark", 200}});
    zmq::socket_t pull = consumer(zmq::socket_type::pull, kMonoStream);
    record(kMonoPort, 100, "\"fifo\"");

    // A fifo records until it is stopped: stop once a hundred images are through.
    Received got;
    while (got.images.size() < 100) {
        auto message = receive(pull, 10s);
        ASSERT_TRUE(message) << "after " << got.images.size() << " images";
        if (message->type() == "header") got.header = message->head;
        if (message->type() == "image") got.images.push_back(std::move(*message));
    }
    ASSERT_EQ(post(kMonoPort, "/v1/stop")->status, 200);
    Received rest = receiveSeries(pull);
    ASSERT_TRUE(rest.end);

    ASSERT_TRUE(got.header);
    EXPECT_EQ(got.header->at("series"), 1);
    EXPECT_EQ(got.header->at("configuration").at("roi"), (json{{"x0", 65}, {"y0", 33}, {"x1", 192}, {"y1", 96}}));
    EXPECT_TRUE(got.header->at("description").is_object());

    qortest::MonoPattern pattern;
    pattern.roi_x0 = 65;
    pattern.roi_y0 = 33;
    pattern.width = 128;
    pattern.height = 64;
    pattern.exposure_ns = 2'000'000;
    for (size_t i = 0; i < got.images.size(); ++i) {
        const Message& image = got.images[i];
        const uint32_t number = static_cast<uint32_t>(i + 1);
        ASSERT_EQ(image.head.at("number"), number) << "images arrive in recording order, none twice";
        EXPECT_EQ(image.head.at("series"), 1);
        EXPECT_EQ(image.head.at("width"), 128);
        EXPECT_EQ(image.head.at("height"), 64);
        EXPECT_EQ(image.head.at("format"), "Mono16");
        EXPECT_EQ(image.head.at("raw_format"), "word");
        EXPECT_FALSE(image.head.contains("conv_ctrl"));
        ASSERT_TRUE(qortest::samePixels(words(image.pixels), qortest::expectedMonoImage(pattern, number), 128))
            << "image " << number;
    }
    // Images that came after the hundredth and before the stop arrive too, and the count says so.
    EXPECT_EQ(rest.end->at("sent").get<size_t>(), got.images.size() + rest.images.size());
    EXPECT_EQ(rest.end->at("dropped"), 0);
    EXPECT_EQ(streamConfiguration(kMonoPort).at("dropped"), 0);
}

TEST_F(FrameStreamTest, ImagesMatchWhatTheImageRouteAnswersForTheSameNumbers) {
    configure(kMonoPort, {{"x0", 1}, {"y0", 1}, {"x1", 256}, {"y1", 128}}, 0.002, 1);
    enableStream(kMonoPort, {});
    zmq::socket_t pull = consumer(zmq::socket_type::pull, kMonoStream);
    record(kMonoPort, 12, "\"sequence\"");
    Received got = receiveSeries(pull);
    ASSERT_TRUE(got.end);
    ASSERT_EQ(got.images.size(), 12u);
    for (uint32_t index = 0; index < 12; ++index) {
        const Message& image = got.images[index];
        auto res = get(kMonoPort, "/v1/image", {{"index", std::to_string(index)}, {"format", "\"Mono16\""}});
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
        EXPECT_EQ(image.head.at("number").get<uint32_t>(), std::stoul(res->get_header_value("recorderImageNumber")));
        EXPECT_EQ(image.head.at("crop"), json::parse(res->get_header_value("crop")));
        EXPECT_EQ(json(image.head.at("format")), json::parse(res->get_header_value("format")));
        EXPECT_EQ(json(image.head.at("raw_format")), json::parse(res->get_header_value("rawFormat")));
        EXPECT_EQ(image.head.at("color_mode").get<uint32_t>(), std::stoul(res->get_header_value("colorMode")));
        ASSERT_TRUE(res->has_header("metadata"));
        ASSERT_TRUE(res->has_header("timestamp"));
        EXPECT_EQ(image.head.at("metadata"), json::parse(res->get_header_value("metadata")));
        EXPECT_EQ(image.head.at("timestamp"), json::parse(res->get_header_value("timestamp")));
        EXPECT_TRUE(image.pixels == res->body) << "pixels of image " << index;
    }
}

TEST_F(FrameStreamTest, ConvertedFormatsCarryTheRawPixelsWithTheirConversionSettings) {
    configure(kColorPort, {{"x0", 3}, {"y0", 5}, {"x1", 98}, {"y1", 68}}, 0.002);
    enableStream(kColorPort, {{"format", "BGR8"}});
    zmq::socket_t pull = consumer(zmq::socket_type::pull, kColorStream);
    record(kColorPort, 3, "\"sequence\"");
    Received got = receiveSeries(pull);
    ASSERT_EQ(got.images.size(), 3u);
    auto res = get(kColorPort, "/v1/image", {{"index", "2"}, {"format", "\"BGR8\""}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const Message& last = got.images.back();
    EXPECT_EQ(last.head.at("format"), "BGR8");
    EXPECT_TRUE(last.pixels == res->body) << "the raw 16-bit pixels, as the image route sends them";
    EXPECT_EQ(last.head.at("color_mode").get<uint32_t>(), std::stoul(res->get_header_value("colorMode")));
    ASSERT_TRUE(last.head.contains("conv_ctrl"));
    EXPECT_EQ(last.head.at("conv_ctrl").at("kind"), json::parse(res->get_header_value("convCtrl")).at("kind"));
}

TEST_F(FrameStreamTest, TwoWorkersTogetherReceiveEveryImageExactlyOnce) {
    configure(kMonoPort, {{"x0", 1}, {"y0", 1}, {"x1", 128}, {"y1", 64}}, 0.002);
    enableStream(kMonoPort, {});
    zmq::socket_t first = consumer(zmq::socket_type::pull, kMonoStream);
    zmq::socket_t second = consumer(zmq::socket_type::pull, kMonoStream);
    record(kMonoPort, 40, "\"sequence\"");

    std::map<uint32_t, int> seen;
    size_t per_worker[2] = {0, 0};
    bool ended = false;
    zmq::socket_t* workers[2] = {&first, &second};
    // Each message goes to one worker; the end message too.
    for (int idle = 0; !ended && idle < 50;) {
        bool any = false;
        for (int w = 0; w < 2; ++w) {
            while (auto message = receive(*workers[w], 10ms)) {
                any = true;
                if (message->type() == "end") ended = true;
                if (message->type() != "image") continue;
                ++seen[message->head.at("number").get<uint32_t>()];
                ++per_worker[w];
            }
        }
        idle = any ? 0 : idle + 1;
    }
    ASSERT_TRUE(ended);
    ASSERT_EQ(seen.size(), 40u);
    for (const auto& [number, times] : seen) EXPECT_EQ(times, 1) << "image " << number;
    EXPECT_EQ(seen.begin()->first, 1u);
    EXPECT_EQ(seen.rbegin()->first, 40u);
    EXPECT_GT(per_worker[0], 0u);
    EXPECT_GT(per_worker[1], 0u);
}

TEST_F(FrameStreamTest, EverySubscriberReceivesEveryImage) {
    configure(kMonoPort, {{"x0", 1}, {"y0", 1}, {"x1", 128}, {"y1", 64}}, 0.002);
    enableStream(kMonoPort, {{"pattern", "pub"}});
    zmq::socket_t first = consumer(zmq::socket_type::sub, kMonoStream);
    zmq::socket_t second = consumer(zmq::socket_type::sub, kMonoStream);
    record(kMonoPort, 30, "\"sequence\"");
    for (zmq::socket_t* subscriber : {&first, &second}) {
        Received got = receiveSeries(*subscriber);
        ASSERT_TRUE(got.header);
        ASSERT_TRUE(got.end);
        ASSERT_EQ(got.images.size(), 30u);
        for (uint32_t i = 0; i < 30; ++i) EXPECT_EQ(got.images[i].head.at("number"), i + 1);
        EXPECT_EQ(got.end->at("sent"), 30);
        EXPECT_EQ(got.end->at("dropped"), 0);
    }
}

TEST_F(FrameStreamTest, AStalledConsumerCostsDropsButNeitherTheRecordingNorTheRoutes) {
    // 2 MiB images against a consumer that reads nothing: the socket buffers fill within a few images.
    configure(kMonoPort, {{"x0", 1}, {"y0", 1}, {"x1", 1024}, {"y1", 1024}}, 0.0001);
    enableStream(kMonoPort, {{"high_water_mark", 1}});
    zmq::socket_t stalled = consumer(zmq::socket_type::pull, kMonoStream, 1);

    std::atomic<bool> done{false};
    std::atomic<int> answered{0}, failed{0};
    std::thread routes([&] {
        auto http = qortest::client(kMonoPort, 10);
        while (!done) {
            auto res = http->Get("/v1/getExposureTime");
            (res && res->status == 200 ? answered : failed)++;
            std::this_thread::sleep_for(5ms);
        }
    });
    record(kMonoPort, 100, "\"sequence\"");  // blocking: answers when all images are recorded
    done = true;
    routes.join();

    auto count = get(kMonoPort, "/v1/getRecordedImageCount");
    ASSERT_TRUE(count);
    EXPECT_EQ(json::parse(count->body).at("recorded"), 100);
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    // Every image is either sent or counted as dropped once the sender has caught up.
    json state;
    for (int i = 0; i < 200; ++i) {
        state = streamConfiguration(kMonoPort);
        if (state.at("sent").get<int>() + state.at("dropped").get<int>() == 100) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(state.at("dropped").get<int>(), 0);
    EXPECT_EQ(state.at("sent").get<int>() + state.at("dropped").get<int>(), 100);
}

TEST_F(FrameStreamTest, ARecordingAfterTheCameraWasReopenedIsANewSeries) {
    const json small{{"x0", 1}, {"y0", 1}, {"x1", 64}, {"y1", 32}};
    configure(kMonoPort, small, 0.002);
    enableStream(kMonoPort, {});
    zmq::socket_t pull = consumer(zmq::socket_type::pull, kMonoStream);
    record(kMonoPort, 3, "\"sequence\"");
    Received first = receiveSeries(pull);
    ASSERT_TRUE(first.end);
    ASSERT_EQ(post(kMonoPort, "/v1/setFree")->status, 200);  // releases the camera and opens it again
    configure(kMonoPort, small, 0.002);
    record(kMonoPort, 4, "\"sequence\"");
    Received second = receiveSeries(pull);
    ASSERT_TRUE(second.header) << "the new camera's recording must not pass for the one already sent";
    EXPECT_EQ(second.header->at("series"), 2);
    EXPECT_EQ(second.images.size(), 4u);
}

TEST_F(FrameStreamTest, ShutdownWithAConnectedConsumerEndsWithinThreeSeconds) {
    configure(kMonoPort, {{"x0", 1}, {"y0", 1}, {"x1", 1024}, {"y1", 1024}}, 0.001);
    enableStream(kMonoPort, {{"high_water_mark", 4}});
    zmq::socket_t stalled = consumer(zmq::socket_type::pull, kMonoStream, 1);
    record(kMonoPort, 20, "\"fifo\"");
    std::this_thread::sleep_for(300ms);  // queues are full by now
    server_.interrupt();
    EXPECT_TRUE(server_.waitForExit(3s).has_value()) << server_.standardOutput();
}

}  // namespace
