// Whole client sessions against the real executable: discovery, claim, configuration, recording,
// downloads checked pixel by pixel against the simulated cameras' test pattern, files, the claim's
// lapse; several clients at once on one camera; and shutdown while clients wait and download.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/expected_pattern.h"
#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qortest::ServerProcess;

std::vector<uint16_t> words(const std::string& body) {
    std::vector<uint16_t> pixels(body.size() / 2);
    std::memcpy(pixels.data(), body.data(), pixels.size() * 2);
    return pixels;
}

// The simulated colour sensor (1920 x 1200, 12 bits, dark offset 64) behind an RGGB mosaic: red
// pixels ramp along x, green ones along y, blue ones along the diagonal; a bright 64 x 64 square
// moves by (16, 8) sensor pixels per image; the signal scales with the exposure time (10 ms nominal).
uint16_t expectedColorPixel(uint32_t roi_x0, uint32_t roi_y0, uint64_t exposure_ns, uint32_t image_number,
                            uint32_t column, uint32_t row) {
    const uint64_t sx = roi_x0 - 1 + column;
    const uint64_t sy = roi_y0 - 1 + row;
    const bool odd_x = (sx & 1) != 0;
    const bool odd_y = (sy & 1) != 0;
    uint64_t scene;
    if (!odd_x && !odd_y)
        scene = (sx * 4) & 1023;  // red
    else if (odd_x && odd_y)
        scene = ((sx + sy) * 2) & 1023;  // blue
    else
        scene = (sy * 4) & 1023;  // green
    const uint64_t square_x = (uint64_t{image_number} * 16) % 1920;
    const uint64_t square_y = (uint64_t{image_number} * 8) % 1200;
    if (sx >= square_x && sx < square_x + 64 && sy >= square_y && sy < square_y + 64) scene += 2048;
    const uint64_t gain = std::min<uint64_t>(exposure_ns * 65536 / 10'000'000, uint64_t{1} << 32);
    return static_cast<uint16_t>(std::min<uint64_t>(64 + ((scene * gain) >> 16), 4095));
}

struct Camera {
    const char* name;
    uint16_t port;
    uint32_t serial;
    bool color;
    json roi;
    uint32_t width;
    uint32_t height;
};

void PrintTo(const Camera& camera, std::ostream* os) { *os << camera.name; }

const Camera kMono{"Mono", 8080, 10001, false, {{"x0", 65}, {"y0", 33}, {"x1", 192}, {"y1", 96}}, 128, 64};
const Camera kColor{"Colour", 8081, 10002, true, {{"x0", 3}, {"y0", 5}, {"x1", 98}, {"y1", 68}}, 96, 64};
constexpr uint64_t kExposureNs = 2'000'000;

std::vector<uint16_t> expectedImage(const Camera& camera, uint32_t image_number) {
    if (!camera.color) {
        qortest::MonoPattern p;
        p.roi_x0 = camera.roi.at("x0");
        p.roi_y0 = camera.roi.at("y0");
        p.width = camera.width;
        p.height = camera.height;
        p.exposure_ns = kExposureNs;
        return qortest::expectedMonoImage(p, image_number);
    }
    std::vector<uint16_t> image(size_t{camera.width} * camera.height);
    for (uint32_t row = 0; row < camera.height; ++row)
        for (uint32_t column = 0; column < camera.width; ++column)
            image[size_t{row} * camera.width + column] =
                expectedColorPixel(camera.roi.at("x0"), camera.roi.at("y0"), kExposureNs, image_number, column, row);
    return image;
}

using qortest::get;
using qortest::post;

std::optional<bool> freeInDiscovery(uint32_t serial) {
    for (const json& entry : qortest::discover())
        if (entry.at("serial") == serial) return entry.at("free").get<bool>();
    return std::nullopt;
}

void configure(uint16_t port, const json& changes) {
    auto got = get(port, "/v1/getConfiguration");
    ASSERT_TRUE(got);
    ASSERT_EQ(got->status, 200);
    json config = json::parse(got->body);
    config.update(changes);
    auto set = qortest::client(port)->Put("/v1/setConfiguration", config.dump(), "application/json");
    ASSERT_TRUE(set);
    ASSERT_EQ(set->status, 200) << set->body;
}

uint64_t recorded(uint16_t port) {
    auto res = get(port, "/v1/getRecordedImageCount");
    return res && res->status == 200 ? json::parse(res->body).at("recorded").get<uint64_t>() : 0;
}

bool recording(uint16_t port) {
    auto res = get(port, "/v1/isRecording");
    return res && res->status == 200 && json::parse(res->body).get<bool>();
}

/// Polls until the recorder holds `count` images and has stopped; bounded to about five seconds.
bool waitForRecorded(uint16_t port, uint64_t count) {
    for (int i = 0; i < 500; ++i) {
        if (recorded(port) >= count && !recording(port)) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

/// The output of `tiffinfo` for one file.
std::string tiffinfo(const std::filesystem::path& file) {
    std::string out;
    FILE* pipe = ::popen(("tiffinfo '" + file.string() + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

std::set<std::filesystem::path> tifFiles(const std::filesystem::path& folder) {
    std::set<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".tif") files.insert(entry.path());
    return files;
}

class WorkflowTest : public ::testing::TestWithParam<Camera> {
protected:
    void SetUp() override { ASSERT_TRUE(server_.waitUntilReady()) << server_.standardOutput() << server_.standardError(); }

    ServerProcess server_{"", "workflow"};
};

TEST_P(WorkflowTest, ClaimConfigureRecordDownloadWriteFilesAndLetTheClaimLapse) {
    const Camera& camera = GetParam();
    const uint16_t port = camera.port;

    // Discovery, then the claim.
    json found;
    for (const json& entry : qortest::discover())
        if (entry.at("serial") == camera.serial) found = entry;
    ASSERT_FALSE(found.is_null());
    EXPECT_EQ(found.at("port"), port);
    EXPECT_EQ(found.at("free"), true);
    ASSERT_EQ(post(port, "/v1/heartbeat")->status, 200);
    EXPECT_EQ(freeInDiscovery(camera.serial), false);

    configure(port, {{"roi", camera.roi}, {"exposure_time_s", kExposureNs / 1e9}});

    // Ten images into memory, waited for and downloaded one by one.
    auto rec = post(port, "/v1/record", {{"imgCount", "10"}, {"recMode", "\"sequence\""}});
    ASSERT_TRUE(rec);
    ASSERT_EQ(rec->status, 200) << rec->body;
    auto wait = post(port, "/v1/waitForFirstImage", {{"timeout", "5"}});
    ASSERT_TRUE(wait);
    EXPECT_EQ(wait->status, 200);
    std::vector<uint64_t> sum(size_t{camera.width} * camera.height, 0);
    for (uint32_t index = 0; index < 10; ++index) {
        auto res = get(port, "/v1/image", {{"index", std::to_string(index)}, {"format", "\"Mono16\""}});
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
        EXPECT_EQ(res->get_header_value("recorderImageNumber"), std::to_string(index + 1));
        const std::vector<uint16_t> expected = expectedImage(camera, index + 1);
        EXPECT_TRUE(qortest::samePixels(words(res->body), expected, camera.width)) << "image " << index;
        for (size_t k = 0; k < sum.size(); ++k) sum[k] += expected[k];
        if (camera.color) {
            EXPECT_FALSE(res->has_header("metadata"));
            continue;
        }
        ASSERT_TRUE(res->has_header("metadata"));
        const json metadata = json::parse(res->get_header_value("metadata"));
        static constexpr uint64_t kBaseNs[3] = {1, 1000, 1000000};
        const uint64_t base = metadata.at("wEXPOSURE_TIME_BASE");
        ASSERT_LT(base, 3u);
        EXPECT_EQ(metadata.at("dwEXPOSURE_TIME").get<uint64_t>() * kBaseNs[base], kExposureNs);
        EXPECT_EQ(metadata.at("wIMAGE_SIZE_X"), camera.width);
        EXPECT_EQ(metadata.at("wIMAGE_SIZE_Y"), camera.height);
    }

    auto average = get(port, "/v1/imageAverage", {{"format", "\"Mono16\""}});
    ASSERT_TRUE(average);
    ASSERT_EQ(average->status, 200);
    std::vector<uint16_t> mean(sum.size());
    for (size_t k = 0; k < sum.size(); ++k) mean[k] = static_cast<uint16_t>((sum[k] + 5) / 10);
    EXPECT_TRUE(qortest::samePixels(words(average->body), mean, camera.width));

    // Files: an absolute path, then one relative to the server's working directory.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("qor-workflow-" + std::to_string(::getpid()) + "-" + camera.name);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(server_.directory() / "relative");
    for (const auto& [file, where] : {std::pair{(folder / "shot").string(), folder},
                                      std::pair{std::string("relative/shot"), server_.directory() / "relative"}}) {
        auto tif = post(port, "/v1/record", {{"imgCount", "3"}, {"recMode", "\"tif\""}, {"file", file}});
        ASSERT_TRUE(tif);
        ASSERT_EQ(tif->status, 200) << tif->body;
        ASSERT_TRUE(waitForRecorded(port, 3)) << file;
        const std::set<std::filesystem::path> files = tifFiles(where);
        EXPECT_EQ(files.size(), 3u) << file;
        for (const auto& path : files) {
            const std::string info = tiffinfo(path);
            EXPECT_NE(info.find("Image Width: " + std::to_string(camera.width) +
                                " Image Length: " + std::to_string(camera.height)),
                      std::string::npos)
                << path << "\n" << info;
            EXPECT_NE(info.find("Bits/Sample: 16"), std::string::npos) << path << "\n" << info;
            EXPECT_EQ(info.find("TIFF Directory at offset", info.find("TIFF Directory at offset") + 1),
                      std::string::npos)
                << "one page per file: " << path;
        }
    }
    std::filesystem::remove_all(folder);

    // The claim lapses 5 to about 6 seconds after the last heartbeat.
    ASSERT_EQ(post(port, "/v1/heartbeat")->status, 200);
    const auto last = std::chrono::steady_clock::now();
    EXPECT_EQ(freeInDiscovery(camera.serial), false);
    bool freed = false;
    while (std::chrono::steady_clock::now() - last < 8s) {
        if (freeInDiscovery(camera.serial) == true) {
            freed = true;
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    const auto lapse = std::chrono::steady_clock::now() - last;
    ASSERT_TRUE(freed);
    EXPECT_GE(lapse, 5s);
    EXPECT_LT(lapse, 7s);
}

INSTANTIATE_TEST_SUITE_P(DefaultCameras, WorkflowTest, ::testing::Values(kMono, kColor),
                         [](const ::testing::TestParamInfo<Camera>& info) { return std::string(info.param.name); });

class ConcurrentClientsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.waitUntilReady()) << server_.standardOutput() << server_.standardError();
        configure(kMono.port, {{"roi", kMono.roi}, {"exposure_time_s", 0.05}});
    }

    ServerProcess server_{"", "concurrent"};
};

TEST_F(ConcurrentClientsTest, QueriesAnswerDuringABlockingRecord) {
    std::optional<httplib::Result> blocking;
    std::thread recorder(
        [&] { blocking.emplace(post(kMono.port, "/v1/record", {{"imgCount", "20"}, {"recMode", "\"sequence\""}})); });
    // Counts read while the record request is still open show a recording in progress.
    std::set<uint64_t> counts_seen;
    bool recording_seen = false;
    for (int i = 0; i < 300 && counts_seen.size() < 3; ++i) {
        const uint64_t count = recorded(kMono.port);
        if (count > 0 && count < 20) counts_seen.insert(count);
        recording_seen = recording_seen || recording(kMono.port);
        auto has_ram = get(kMono.port, "/v1/hasRam");
        EXPECT_TRUE(has_ram && has_ram->status == 200);
        std::this_thread::sleep_for(10ms);
    }
    recorder.join();
    ASSERT_TRUE(blocking && *blocking);
    EXPECT_EQ((*blocking)->status, 200);
    EXPECT_TRUE(recording_seen);
    EXPECT_FALSE(counts_seen.empty()) << "no query was answered while the sequence was being recorded";
    EXPECT_EQ(recorded(kMono.port), 20u);
}

TEST_F(ConcurrentClientsTest, ImageDownloadsAnswerWhileAnotherClientWaits) {
    configure(kMono.port, {{"trigger_mode", 1}});  // images only on software triggers
    ASSERT_EQ(post(kMono.port, "/v1/record", {{"imgCount", "3"}, {"recMode", "\"sequence_non_blocking\""}})->status, 200);
    ASSERT_EQ(post(kMono.port, "/v1/trigger")->status, 200);
    ASSERT_EQ(post(kMono.port, "/v1/waitForFirstImage", {{"timeout", "5"}})->status, 200);
    auto first = get(kMono.port, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200);

    // Image 1 has been read, so this wait lasts until the next trigger.
    std::atomic<bool> returned{false};
    std::optional<httplib::Result> waited;
    std::thread waiter([&] {
        waited.emplace(post(kMono.port, "/v1/waitForNewImage", {}, 15));
        returned = true;
    });
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < 3; ++i) {
        auto again = get(kMono.port, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}}, 5);
        ASSERT_TRUE(again) << i;
        EXPECT_EQ(again->status, 200);
        EXPECT_EQ(again->body, first->body);
    }
    EXPECT_FALSE(returned) << "the wait ended without a new image";
    EXPECT_EQ(post(kMono.port, "/v1/trigger")->status, 200);
    waiter.join();
    ASSERT_TRUE(waited && *waited);
    EXPECT_EQ((*waited)->status, 200);
    EXPECT_EQ(post(kMono.port, "/v1/stop")->status, 200);
}

TEST_F(ConcurrentClientsTest, SetFreeDuringAWaitEndsTheWaitAndReopensTheCamera) {
    configure(kMono.port, {{"trigger_mode", 1}});
    ASSERT_EQ(post(kMono.port, "/v1/record", {{"imgCount", "3"}, {"recMode", "\"sequence_non_blocking\""}})->status, 200);
    std::optional<httplib::Result> waited;
    std::thread waiter([&] { waited.emplace(post(kMono.port, "/v1/waitForFirstImage", {}, 15)); });
    std::this_thread::sleep_for(200ms);
    auto freed = post(kMono.port, "/v1/setFree", {}, 15);
    waiter.join();
    ASSERT_TRUE(freed);
    EXPECT_EQ(freed->status, 200);
    ASSERT_TRUE(waited && *waited) << "the wait did not answer";
    EXPECT_EQ((*waited)->status, 503);

    // The reopened camera has its defaults again and records as usual.
    EXPECT_FALSE(recording(kMono.port));
    auto rec = post(kMono.port, "/v1/record", {{"imgCount", "1"}});
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->status, 200);
    EXPECT_EQ(recorded(kMono.port), 1u);
}

TEST(ShutdownTest, InterruptWhileOneClientWaitsAndAnotherDownloadsEndsCleanly) {
    ServerProcess server("", "shutdown");
    ASSERT_TRUE(server.waitUntilReady());
    // Full-size images, so that downloads are in flight when the signal comes.
    configure(kMono.port, {{"trigger_mode", 1}});
    ASSERT_EQ(post(kMono.port, "/v1/record", {{"imgCount", "3"}, {"recMode", "\"sequence_non_blocking\""}})->status, 200);
    ASSERT_EQ(post(kMono.port, "/v1/trigger")->status, 200);
    ASSERT_EQ(post(kMono.port, "/v1/waitForFirstImage", {{"timeout", "5"}})->status, 200);
    ASSERT_EQ(get(kMono.port, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}})->status, 200);

    std::atomic<bool> waiting_answered{false};
    std::thread waiter([&] {
        post(kMono.port, "/v1/waitForNewImage", {}, 15);
        waiting_answered = true;
    });
    std::atomic<int> downloads{0};
    std::thread downloader([&] {
        for (int i = 0; i < 500; ++i) {
            auto res = get(kMono.port, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}}, 5);
            if (!res || res->status != 200) return;
            ++downloads;
        }
    });
    for (int i = 0; i < 200 && downloads < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(waiting_answered);

    server.interrupt();
    const std::optional<int> status = server.waitForExit(5s);
    waiter.join();
    downloader.join();
    ASSERT_TRUE(status) << "the process did not end";
    EXPECT_EQ(*status, 0);
    EXPECT_GE(downloads, 2);
    qortest::expectShutdownLinesInOrder(server.standardOutput());
}

}  // namespace
