// The recording, image and camera-RAM routes of the real executable, driven over HTTP on the two
// default simulated cameras: the mono camera (16-bit, camera RAM, metadata) on 8080 and the colour
// camera (12-bit in 16-bit words, no camera RAM) on 8081.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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

// Library codes as a client sees them (signed 32-bit).
constexpr int64_t kInvalidArgument = -1609158655;  // 0xA0163001
constexpr int64_t kBadFilePath = -1609158627;      // 0xA016301D
constexpr int64_t kTimeout = -2147467263;          // 0x80004001
constexpr int64_t kNoRecorder = -2146029532;       // 0x80163024
constexpr int64_t kCamRamUnsupported = -2146013178;  // 0x80167006

std::vector<uint16_t> words(const std::string& body) {
    std::vector<uint16_t> pixels(body.size() / 2);
    std::memcpy(pixels.data(), body.data(), pixels.size() * 2);
    return pixels;
}

json errorOf(const httplib::Result& res) { return json::parse(res->body); }

// The parameters of a request, for failure messages.
std::string text(const httplib::Params& params) {
    std::string out;
    for (const auto& [name, value] : params) out += name + "=" + value + " ";
    return out;
}

class ImageRoutesTest : public ::testing::Test {
protected:
    explicit ImageRoutesTest(const std::string& devices = "") : server_(devices, "images") {}

    void SetUp() override { ASSERT_TRUE(server_.waitUntilReady()) << server_.standardOutput() << server_.standardError(); }


    /// Reads the configuration, lets `change` edit it and writes it back.
    static void configure(uint16_t port, const std::function<void(json&)>& change) {
        auto got = get(port, "/v1/getConfiguration");
        ASSERT_TRUE(got);
        ASSERT_EQ(got->status, 200);
        json config = json::parse(got->body);
        change(config);
        auto set = put(port, "/v1/setConfiguration", config.dump());
        ASSERT_TRUE(set);
        ASSERT_EQ(set->status, 200) << set->body << "\n" << config.dump();
    }

    /// A small region and a short exposure, so that recordings take milliseconds.
    static void smallFastImages(uint16_t port) {
        configure(port, [](json& c) {
            c["roi"] = {{"x0", 65}, {"y0", 33}, {"x1", 192}, {"y1", 96}};  // 128 x 64
            c["exposure_time_s"] = 0.002;
        });
    }

    static void recordSequence(uint16_t port, int count) {
        auto res = post(port, "/v1/record", {{"imgCount", std::to_string(count)}, {"recMode", "\"sequence\""}});
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
    }

    static uint64_t recorded(uint16_t port) {
        auto res = get(port, "/v1/getRecordedImageCount");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body).at("recorded").get<uint64_t>() : 0;
    }

    static bool recording(uint16_t port) {
        auto res = get(port, "/v1/isRecording");
        EXPECT_TRUE(res && res->status == 200);
        return res && json::parse(res->body).get<bool>();
    }

    /// Polls until the camera records (bounded); false when it never did.
    static bool waitUntilRecording(uint16_t port) {
        for (int i = 0; i < 200; ++i) {
            if (recording(port)) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    /// The server still answers after whatever came before.
    void expectServing() {
        auto res = get(kMonoPort, "/v1/isRecording");
        ASSERT_TRUE(res) << "the server stopped answering";
        EXPECT_EQ(res->status, 200);
        EXPECT_TRUE(server_.running());
    }

    ServerProcess server_;
};

// ---------------------------------------------------------------------------------------------
// /v1/record, /v1/stop, counts

TEST_F(ImageRoutesTest, RecordWithoutParametersRecordsOneImageBeforeItAnswers) {
    auto res = post(kMonoPort, "/v1/record");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "");
    // A blocking sequence: the image is there when the answer comes, and the recorder has stopped.
    EXPECT_EQ(get(kMonoPort, "/v1/getRecordedImageCount")->body, R"({"recorded":1})");
    EXPECT_EQ(get(kMonoPort, "/v1/getRecorderBufferSize")->body, R"({"buffSize":1})");
    auto state = get(kMonoPort, "/v1/isRecording");
    EXPECT_EQ(state->body, "false");
    EXPECT_EQ(state->get_header_value("Content-Type"), "application/json");
}

TEST_F(ImageRoutesTest, RecordModeIsJsonTextAndUnknownNamesRecordASequence) {
    smallFastImages(kMonoPort);
    auto unquoted = post(kMonoPort, "/v1/record", {{"imgCount", "2"}, {"recMode", "sequence"}});
    ASSERT_TRUE(unquoted);
    EXPECT_EQ(unquoted->status, 500);
    EXPECT_EQ(unquoted->body, "");

    auto unknown = post(kMonoPort, "/v1/record", {{"imgCount", "3"}, {"recMode", "\"no_such_mode\""}});
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 200);
    EXPECT_EQ(recorded(kMonoPort), 3u);  // blocking, so complete at the answer
    EXPECT_FALSE(recording(kMonoPort));
    EXPECT_EQ(get(kMonoPort, "/v1/getRecorderBufferSize")->body, R"({"buffSize":3})");

    // A file mode without a file is the library's refusal, reported with the operation's name.
    auto tif = post(kMonoPort, "/v1/record", {{"recMode", "\"tif\""}});
    ASSERT_TRUE(tif);
    EXPECT_EQ(tif->status, 503);
    EXPECT_EQ(errorOf(tif), (json{{"code", kBadFilePath}, {"where", "record"}}));
}

TEST_F(ImageRoutesTest, MalformedRecordParametersAreRefusedAndTheServerKeepsServing) {
    smallFastImages(kMonoPort);
    struct Case {
        const char* name;
        const char* value;
    };
    for (const Case& c : {Case{"imgCount", "abc"}, Case{"imgCount", "\"3\""}, Case{"imgCount", "[1]"},
                          Case{"imgCount", "1e400"}, Case{"flags", "null"}, Case{"recMode", "{"}}) {
        auto res = post(kMonoPort, "/v1/record", {{c.name, c.value}});
        ASSERT_TRUE(res) << c.name << "=" << c.value;
        EXPECT_EQ(res->status, 500) << c.name << "=" << c.value;
        EXPECT_EQ(res->body, "");
    }
    EXPECT_FALSE(recording(kMonoPort));  // nothing was started by a refused request

    // A zero count is the library's to refuse; a negative one keeps its low bits (all ones) and the
    // recorder shortens it to what it can hold.
    auto zero = post(kMonoPort, "/v1/record", {{"imgCount", "0"}});
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->status, 503);
    EXPECT_EQ(errorOf(zero).at("code"), kInvalidArgument);
    auto negative = post(kMonoPort, "/v1/record", {{"imgCount", "-1"}, {"recMode", "\"sequence_non_blocking\""}});
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->status, 200);
    EXPECT_EQ(post(kMonoPort, "/v1/stop")->status, 200);
    expectServing();
}

TEST_F(ImageRoutesTest, RecordWhileRecordingIsRefusedUntilStopped) {
    configure(kMonoPort, [](json& c) {
        c["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 128}, {"y1", 64}};
        c["exposure_time_s"] = 0.1;
    });
    auto first = post(kMonoPort, "/v1/record", {{"imgCount", "100"}, {"recMode", "\"sequence_non_blocking\""}});
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200);
    EXPECT_TRUE(recording(kMonoPort));
    for (const char* mode : {"\"sequence\"", "\"sequence_non_blocking\"", "\"ring_buffer\""}) {
        auto again = post(kMonoPort, "/v1/record", {{"imgCount", "5"}, {"recMode", mode}});
        ASSERT_TRUE(again);
        EXPECT_EQ(again->status, 409) << mode;
        EXPECT_EQ(again->body, "");
    }
    EXPECT_EQ(get(kMonoPort, "/v1/getRecorderBufferSize")->body, R"({"buffSize":100})");  // still the first one

    auto stop = post(kMonoPort, "/v1/stop");
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->status, 200);
    EXPECT_FALSE(recording(kMonoPort));
    const uint64_t kept = recorded(kMonoPort);
    EXPECT_LT(kept, 100u);
    EXPECT_EQ(recorded(kMonoPort), kept);  // stopped means no more images

    auto after = post(kMonoPort, "/v1/record", {{"imgCount", "1"}});
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
}

TEST_F(ImageRoutesTest, RecordDuringABlockingSequenceIsRefused) {
    configure(kMonoPort, [](json& c) {
        c["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 128}, {"y1", 64}};
        c["exposure_time_s"] = 0.05;
    });
    std::optional<httplib::Result> blocking;
    std::thread recorder([&] { blocking.emplace(post(kMonoPort, "/v1/record", {{"imgCount", "20"}})); });
    const bool started = waitUntilRecording(kMonoPort);
    std::optional<httplib::Result> refused;
    if (started) refused.emplace(post(kMonoPort, "/v1/record", {{"imgCount", "1"}}));
    recorder.join();
    ASSERT_TRUE(started);
    ASSERT_TRUE(refused && *refused);
    EXPECT_EQ((*refused)->status, 409);
    ASSERT_TRUE(blocking && *blocking);
    EXPECT_EQ((*blocking)->status, 200);
    EXPECT_EQ(recorded(kMonoPort), 20u);
}

// The scratch folder of "qor_vram" belongs to the camera's name; a camera of its own keeps this
// test apart from every other test on the machine.
class ScratchFolderTest : public ImageRoutesTest {
protected:
    ScratchFolderTest() : ImageRoutesTest(devices()) {}

    static std::string cameraName() { return "Scratch " + std::to_string(::getpid()); }
    static std::string devices() {
        return json{{"cameras", {{{"template", "mono"}, {"serial", 31}, {"name", cameraName()}}}}}.dump();
    }
    static std::filesystem::path folder() {
        return std::filesystem::temp_directory_path() / "qor_vram" / cameraName();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(folder(), ec);
    }
};

TEST_F(ScratchFolderTest, RefusedRecordLeavesTheRunningRecordingsFilesAlone) {
    configure(kMonoPort, [](json& c) {
        c["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 128}, {"y1", 64}};
        c["exposure_time_s"] = 0.2;
    });
    auto first = post(kMonoPort, "/v1/record", {{"imgCount", "30"}, {"recMode", "\"tif\""}, {"file", "qor_vram"}});
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    ASSERT_TRUE(std::filesystem::is_directory(folder()));
    const std::filesystem::path marker = folder() / "marker.txt";
    std::ofstream(marker) << "still here";

    auto second = post(kMonoPort, "/v1/record", {{"imgCount", "1"}, {"recMode", "\"tif\""}, {"file", "qor_vram"}});
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 409);
    EXPECT_TRUE(std::filesystem::exists(marker));
    ASSERT_EQ(post(kMonoPort, "/v1/stop")->status, 200);

    // Once nothing records, the folder is emptied before the next recording into it.
    auto third = post(kMonoPort, "/v1/record", {{"imgCount", "1"}, {"recMode", "\"tif\""}, {"file", "qor_vram"}});
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 200);
    EXPECT_FALSE(std::filesystem::exists(marker));
    for (int i = 0; i < 300 && recorded(kMonoPort) < 1; ++i) std::this_thread::sleep_for(10ms);
    bool image_file = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder()))
        image_file = image_file || entry.path().filename().string().rfind("image", 0) == 0;
    EXPECT_TRUE(image_file) << "the recording writes into the folder as \"image...\"";
}

// A camera whose name would point outside "qor_vram" gets a folder of its own inside it.
class HostileNameTest : public ImageRoutesTest {
protected:
    HostileNameTest() : ImageRoutesTest(devices()) {}
    static std::string devices() {
        return json{{"cameras", {{{"template", "mono"}, {"serial", 32}, {"name", "../.."}}}}}.dump();
    }
};

TEST_F(HostileNameTest, ScratchFolderStaysInsideTheScratchDirectory) {
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() / "qor_vram";
    std::filesystem::create_directories(scratch);
    const std::filesystem::path marker = scratch / ("marker-" + std::to_string(::getpid()));
    std::ofstream(marker) << "must survive";
    configure(kMonoPort, [](json& c) { c["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 64}, {"y1", 16}}; });
    auto res = post(kMonoPort, "/v1/record", {{"imgCount", "1"}, {"recMode", "\"tif\""}, {"file", "qor_vram"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_TRUE(std::filesystem::exists(marker));
    EXPECT_TRUE(std::filesystem::is_directory(scratch / ".._.."));
    std::error_code ec;
    std::filesystem::remove(marker, ec);
    std::filesystem::remove_all(scratch / ".._..", ec);
}

// ---------------------------------------------------------------------------------------------
// /v1/image

TEST_F(ImageRoutesTest, Mono16ImageIsTheRaw16BitPixelsWithItsHeaders) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 2);
    auto res = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(res->body.size(), 128u * 64u * 2u);
    EXPECT_EQ(res->get_header_value("crop"), R"({"x0":1,"x1":128,"y0":1,"y1":64})");
    EXPECT_EQ(res->get_header_value("format"), "\"Mono16\"");
    EXPECT_EQ(res->get_header_value("rawFormat"), "\"word\"");
    EXPECT_EQ(res->get_header_value("recorderImageNumber"), "1");
    EXPECT_EQ(res->get_header_value("colorMode"), "0");
    EXPECT_FALSE(res->has_header("convCtrl"));
    EXPECT_FALSE(res->has_header("timestamp"));  // the time-stamp mode is off by default
    ASSERT_TRUE(res->has_header("metadata"));     // the default configuration switches metadata on
    const json metadata = json::parse(res->get_header_value("metadata"));
    EXPECT_EQ(metadata.at("wSize"), 69);
    EXPECT_EQ(metadata.at("wIMAGE_SIZE_X"), 128);
    EXPECT_EQ(metadata.at("wIMAGE_SIZE_Y"), 64);
    EXPECT_EQ(metadata.at("dwCAMERA_SERIAL_NO"), 10001);

    auto second = get(kMonoPort, "/v1/image", {{"index", "1"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(second);
    EXPECT_EQ(second->get_header_value("recorderImageNumber"), "2");
    EXPECT_NE(second->body, res->body);  // the bright square moves from image to image

    // Undefined becomes the raw format's own, Mono16 here.
    auto undefined = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Undefined\""}});
    ASSERT_TRUE(undefined);
    EXPECT_EQ(undefined->get_header_value("format"), "\"Mono16\"");
    EXPECT_EQ(undefined->body, res->body);

    // HEAD answers the headers of the same reply.
    auto head = qortest::client(kMonoPort)->Head("/v1/image?index=0&format=%22Mono16%22");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(128 * 64 * 2));
}

TEST_F(ImageRoutesTest, FullFrameImageArrivesWholeAndInOrder) {
    // 2048 x 2048 words: many pieces of the body go out one after the other.
    recordSequence(kMonoPort, 1);
    auto res = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    ASSERT_EQ(res->get_header_value("Content-Length"), std::to_string(2048 * 2048 * 2));
    qortest::MonoPattern pattern;
    pattern.width = 2048;
    pattern.height = 2048;
    EXPECT_TRUE(qortest::samePixels(words(res->body), qortest::expectedMonoImage(pattern, 1), 2048));
}

TEST_F(ImageRoutesTest, CropSelectsTheRectangleAndIsEchoedInItsHeader) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 1);
    auto full = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(full);
    ASSERT_EQ(full->status, 200);
    const std::vector<uint16_t> all = words(full->body);

    auto part = get(kMonoPort, "/v1/image",
                    {{"index", "0"}, {"format", "\"Mono16\""}, {"crop", R"({"x0":3,"y0":5,"x1":10,"y1":8})"}});
    ASSERT_TRUE(part);
    ASSERT_EQ(part->status, 200);
    EXPECT_EQ(part->get_header_value("crop"), R"({"x0":3,"x1":10,"y0":5,"y1":8})");
    const std::vector<uint16_t> cropped = words(part->body);
    ASSERT_EQ(cropped.size(), 8u * 4u);
    for (size_t row = 0; row < 4; ++row)
        for (size_t column = 0; column < 8; ++column)
            ASSERT_EQ(cropped[row * 8 + column], all[(row + 4) * 128 + column + 2]) << row << "," << column;
    EXPECT_EQ(json::parse(part->get_header_value("metadata")).at("wIMAGE_SIZE_X"), 128);  // of the recorded image
}

TEST_F(ImageRoutesTest, AbsurdCropsAreTheLibrarysRefusalAndStillCarryTheCropHeader) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 1);
    for (const char* crop : {R"({"x0":1,"y0":1,"x1":129,"y1":64})",    // beyond the image
                             R"({"x0":10,"y0":1,"x1":5,"y1":64})",     // inverted
                             R"({"x0":0,"y0":0,"x1":0,"y1":0})",       // zero
                             R"({"x0":-5,"y0":1,"x1":4,"y1":4})",      // negative
                             R"({"x0":1,"y0":1,"x1":1e15,"y1":1e15})"  // huge
         }) {
        auto res = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}, {"crop", crop}});
        ASSERT_TRUE(res) << crop;
        EXPECT_EQ(res->status, 503) << crop;
        EXPECT_EQ(errorOf(res), (json{{"code", kInvalidArgument}, {"where", "image"}})) << crop;
        // The header repeats the crop as sent, each coordinate as an unsigned 64-bit number.
        const json sent = json::parse(crop);
        json expected;
        for (const char* key : {"x0", "y0", "x1", "y1"})
            expected[key] = static_cast<uint64_t>(sent.at(key).get<int64_t>());
        ASSERT_TRUE(res->has_header("crop")) << crop;
        EXPECT_EQ(res->get_header_value("crop"), expected.dump()) << crop;
    }
    expectServing();
}

TEST_F(ImageRoutesTest, ImageParametersAreRequiredAndMustBeJson) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 1);
    struct Case {
        httplib::Params params;
        int status;
    };
    const std::vector<Case> cases = {
        {{{"format", "\"Mono16\""}}, 400},
        {{{"index", "0"}}, 400},
        {{}, 400},
        {{{"index", "zero"}, {"format", "\"Mono16\""}}, 500},
        {{{"index", "\"0\""}, {"format", "\"Mono16\""}}, 500},
        {{{"index", "0"}, {"format", "Mono16"}}, 500},
        {{{"index", "0"}, {"format", "\"Mono16\""}, {"crop", "[1,1,4,4]"}}, 500},
        {{{"index", "0"}, {"format", "\"Mono16\""}, {"crop", R"({"x0":1,"y0":1,"x1":4})"}}, 500},
        {{{"index", "0"}, {"format", "\"Mono16\""}, {"comp_params", "{"}}, 500},
        // Indices the recorder does not hold, also after truncating or keeping the low 32 bits.
        {{{"index", "5"}, {"format", "\"Mono16\""}}, 503},
        {{{"index", "5.9"}, {"format", "\"Mono16\""}}, 503},
        {{{"index", "4294967301"}, {"format", "\"Mono16\""}}, 503},
        // BGR16 needs a colour sensor.
        {{{"index", "0"}, {"format", "\"BGR16\""}}, 503},
    };
    for (const Case& c : cases) {
        auto res = get(kMonoPort, "/v1/image", c.params);
        ASSERT_TRUE(res) << text(c.params);
        EXPECT_EQ(res->status, c.status) << text(c.params);
        if (c.status != 503) {
            EXPECT_EQ(res->body, "") << text(c.params);
        }
    }
    // -1 keeps its low bits, all ones, the recorder's index of its latest image.
    auto latest = get(kMonoPort, "/v1/image", {{"index", "-1"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(latest);
    EXPECT_EQ(latest->status, 200);
    EXPECT_EQ(latest->get_header_value("recorderImageNumber"), "1");
    expectServing();
}

TEST_F(ImageRoutesTest, ConvertedFormatsSendTheRawWordsWithTheConversionSettings) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 1);
    auto mono8 = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono8\""}});
    ASSERT_TRUE(mono8);
    ASSERT_EQ(mono8->status, 200);
    EXPECT_EQ(mono8->body.size(), 128u * 64u * 2u);
    EXPECT_EQ(mono8->get_header_value("format"), "\"Mono8\"");
    ASSERT_TRUE(mono8->has_header("convCtrl"));
    EXPECT_EQ(json::parse(mono8->get_header_value("convCtrl")).at("kind"), "mono");
    auto raw = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    EXPECT_EQ(mono8->body, raw->body);  // the raw pixels, not the converted ones

    // A mono sensor converts colour formats with pseudo colours.
    auto pseudo = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"RGBA8\""}});
    ASSERT_TRUE(pseudo);
    ASSERT_EQ(pseudo->status, 200);
    EXPECT_EQ(json::parse(pseudo->get_header_value("convCtrl")).at("kind"), "pseudocolor");
}

TEST_F(ImageRoutesTest, Bgr8OnTheColourCameraSendsRawWordsConversionSettingsAndColorMode) {
    configure(kColorPort, [](json& c) {
        c["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 96}, {"y1", 64}};
        c["exposure_time_s"] = 0.002;
    });
    recordSequence(kColorPort, 1);
    auto res = get(kColorPort, "/v1/image", {{"index", "0"}, {"format", "\"BGR8\""}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->body.size(), 96u * 64u * 2u);
    EXPECT_EQ(res->get_header_value("format"), "\"BGR8\"");
    EXPECT_EQ(res->get_header_value("rawFormat"), "\"word\"");
    ASSERT_TRUE(res->has_header("convCtrl"));
    const json settings = json::parse(res->get_header_value("convCtrl"));
    EXPECT_EQ(settings.at("kind"), "color");
    EXPECT_TRUE(settings.at("value").contains("color_temperature"));
    EXPECT_EQ(res->get_header_value("colorMode"), "0");  // red at (1,1) of this sensor's pattern
    EXPECT_FALSE(res->has_header("metadata"));           // this camera has no metadata
    for (uint16_t value : words(res->body)) ASSERT_LT(value, 4096) << "12-bit data in 16-bit words";

    auto raw = get(kColorPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->body, res->body);
    EXPECT_FALSE(raw->has_header("convCtrl"));
}

TEST_F(ImageRoutesTest, CompressedMono8NeedsAllFiveCompressionParameters) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 1);
    const std::string params = json{{"dGainK", 2.17},
                                    {"dDarkNoise_e", 1.5},
                                    {"dDSNU_e", 0.3},
                                    {"dPRNU_pct", 0.34},
                                    {"dLightSourceNoise_pct", 0.0}}
                                   .dump();
    auto res = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"CompressedMono8\""}, {"comp_params", params}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->body.size(), 128u * 64u);
    EXPECT_EQ(res->get_header_value("format"), "\"CompressedMono8\"");
    EXPECT_FALSE(res->has_header("convCtrl"));

    auto without = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"CompressedMono8\""}});
    ASSERT_TRUE(without);
    EXPECT_EQ(without->status, 503);
    EXPECT_EQ(errorOf(without), (json{{"code", kInvalidArgument}, {"where", "image"}}));

    for (const char* key : {"dGainK", "dDarkNoise_e", "dDSNU_e", "dPRNU_pct", "dLightSourceNoise_pct"}) {
        json partial = json::parse(params);
        partial.erase(key);
        auto missing = get(kMonoPort, "/v1/image",
                           {{"index", "0"}, {"format", "\"CompressedMono8\""}, {"comp_params", partial.dump()}});
        ASSERT_TRUE(missing) << key;
        EXPECT_EQ(missing->status, 500) << key;
    }
}

// ---------------------------------------------------------------------------------------------
// /v1/images and /v1/getImageFromImages

TEST_F(ImageRoutesTest, SeriesFromAStartIndexServesItsImagesUnchanged) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 10);
    const std::string crop = R"({"x0":9,"y0":3,"x1":40,"y1":18})";  // 32 x 16
    auto series = get(kMonoPort, "/v1/images", {{"start_index", "3"}, {"format", "\"Mono16\""}, {"crop", crop}});
    ASSERT_TRUE(series);
    ASSERT_EQ(series->status, 200) << series->body;
    EXPECT_EQ(series->body, "");
    EXPECT_EQ(series->get_header_value("count"), "7");
    EXPECT_EQ(series->get_header_value("crop"), R"({"x0":9,"x1":40,"y0":3,"y1":18})");

    auto from = [&](const std::string& index, const std::string& c, const std::string& format) {
        return get(kMonoPort, "/v1/getImageFromImages", {{"index", index}, {"crop", c}, {"format", format}});
    };
    for (const auto& [index, c, format] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"2", R"({"x0":9,"y0":3,"x1":41,"y1":18})", "\"Mono16\""},  // one column too many
             {"2", R"({"x0":1,"y0":1,"x1":128,"y1":64})", "\"Mono16\""},  // the whole image
             {"2", R"({"x0":40,"y0":18,"x1":9,"y1":3})", "\"Mono16\""},  // inverted
             {"2", crop, "\"Mono8\""},                                   // another format
             {"7", crop, "\"Mono16\""},                                  // beyond the series
             {"-1", crop, "\"Mono16\""}}) {
        auto res = from(index, c, format);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << index << " " << c << " " << format;
        EXPECT_EQ(res->body, "");
    }
    for (const httplib::Params& params : {httplib::Params{{"crop", crop}, {"format", "\"Mono16\""}},
                                          httplib::Params{{"index", "2"}, {"format", "\"Mono16\""}},
                                          httplib::Params{{"index", "2"}, {"crop", crop}}}) {
        auto res = get(kMonoPort, "/v1/getImageFromImages", params);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << text(params);
    }

    auto direct = get(kMonoPort, "/v1/image", {{"index", "5"}, {"format", "\"Mono16\""}, {"crop", crop}});
    ASSERT_TRUE(direct);
    ASSERT_EQ(direct->status, 200);
    for (int attempt = 0; attempt < 2; ++attempt) {  // reading does not use the series up
        auto stored = from("2", crop, "\"Mono16\"");
        ASSERT_TRUE(stored);
        ASSERT_EQ(stored->status, 200) << attempt;
        EXPECT_EQ(stored->body.size(), 32u * 16u * 2u);
        EXPECT_EQ(stored->body, direct->body);
        EXPECT_EQ(stored->get_header_value("recorderImageNumber"), "6");
        EXPECT_EQ(stored->get_header_value("crop"), R"({"x0":9,"x1":40,"y0":3,"y1":18})");
        EXPECT_EQ(stored->get_header_value("format"), "\"Mono16\"");
        EXPECT_EQ(stored->get_header_value("metadata"), direct->get_header_value("metadata"));
    }
    // Any crop of the stored size is accepted and echoed.
    auto shifted = from("2", R"({"x0":1,"y0":1,"x1":32,"y1":16})", "\"Mono16\"");
    ASSERT_TRUE(shifted);
    EXPECT_EQ(shifted->status, 200);
    EXPECT_EQ(shifted->get_header_value("crop"), R"({"x0":1,"x1":32,"y0":1,"y1":16})");
    EXPECT_EQ(shifted->body, direct->body);
}

TEST_F(ImageRoutesTest, SeriesWithoutCropReportsTheImageSizeAndAFailedRebuildEmptiesIt) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 4);
    auto series = get(kMonoPort, "/v1/images", {{"start_index", "0"}, {"format", "\"Mono8\""}});
    ASSERT_TRUE(series);
    ASSERT_EQ(series->status, 200);
    EXPECT_EQ(series->get_header_value("count"), "4");
    EXPECT_EQ(series->get_header_value("crop"), R"({"x0":1,"x1":128,"y0":1,"y1":64})");
    const std::string whole = R"({"x0":1,"y0":1,"x1":128,"y1":64})";
    auto stored = get(kMonoPort, "/v1/getImageFromImages", {{"index", "3"}, {"crop", whole}, {"format", "\"Mono8\""}});
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->status, 200);
    EXPECT_EQ(stored->body.size(), 128u * 64u * 2u);  // raw words with the conversion settings
    EXPECT_TRUE(stored->has_header("convCtrl"));

    for (const httplib::Params& params : {httplib::Params{{"format", "\"Mono16\""}},
                                          httplib::Params{{"start_index", "0"}}}) {
        auto res = get(kMonoPort, "/v1/images", params);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400);
    }
    auto start = get(kMonoPort, "/v1/images", {{"start_index", "\"0\""}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(start);
    EXPECT_EQ(start->status, 500);

    // A start at the recorded count gives the empty series: without a crop it has no size to
    // answer (500), with one it is answered with the count 0; a start beyond it is refused.
    auto at_end = get(kMonoPort, "/v1/images", {{"start_index", "4"}, {"format", "\"Mono8\""}});
    ASSERT_TRUE(at_end);
    EXPECT_EQ(at_end->status, 500);
    auto at_end_cropped = get(kMonoPort, "/v1/images", {{"start_index", "4"}, {"format", "\"Mono8\""}, {"crop", whole}});
    ASSERT_TRUE(at_end_cropped);
    EXPECT_EQ(at_end_cropped->status, 200);
    EXPECT_EQ(at_end_cropped->get_header_value("count"), "0");
    auto beyond = get(kMonoPort, "/v1/images", {{"start_index", "5"}, {"format", "\"Mono8\""}});
    ASSERT_TRUE(beyond);
    EXPECT_EQ(beyond->status, 503);
    EXPECT_EQ(errorOf(beyond), (json{{"code", kInvalidArgument}, {"where", "images"}}));
    auto gone = get(kMonoPort, "/v1/getImageFromImages", {{"index", "0"}, {"crop", whole}, {"format", "\"Mono8\""}});
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 400);
}

TEST_F(ImageRoutesTest, SeriesReadsDuringRebuildsSeeOnlyWholeSeries) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 6);
    const std::string wide = R"({"x0":1,"y0":1,"x1":32,"y1":16})";
    const std::string narrow = R"({"x0":1,"y0":1,"x1":16,"y1":16})";
    auto direct = get(kMonoPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}, {"crop", wide}});
    ASSERT_TRUE(direct);
    ASSERT_EQ(direct->status, 200);

    // One client rebuilds the series alternately with two crop sizes; another reads the wide one.
    std::atomic<int> rebuild_failures{0};
    std::thread rebuilder([&] {
        for (int i = 0; i < 41; ++i) {  // ending with the wide crop
            auto res = get(kMonoPort, "/v1/images",
                           {{"start_index", "0"}, {"format", "\"Mono16\""}, {"crop", i % 2 == 0 ? wide : narrow}});
            if (!res || res->status != 200 || res->get_header_value("count") != "6") ++rebuild_failures;
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto res = get(kMonoPort, "/v1/getImageFromImages", {{"index", "0"}, {"crop", wide}, {"format", "\"Mono16\""}});
        ASSERT_TRUE(res) << i;
        ASSERT_TRUE(res->status == 200 || res->status == 400) << i << ": " << res->status;
        if (res->status == 200) {
            ASSERT_TRUE(res->body == direct->body) << "image " << i << " differs from the one recorded";
            ASSERT_EQ(res->get_header_value("recorderImageNumber"), "1") << i;
        }
    }
    rebuilder.join();
    EXPECT_EQ(rebuild_failures, 0);
    auto last = get(kMonoPort, "/v1/getImageFromImages", {{"index", "0"}, {"crop", wide}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(last);
    EXPECT_EQ(last->status, 200);
    EXPECT_EQ(last->body, direct->body);
}

// ---------------------------------------------------------------------------------------------
// Waits and triggers

TEST_F(ImageRoutesTest, WaitsTimeOutWithoutImagesAndReturnOnceATriggerBringsOne) {
    smallFastImages(kMonoPort);
    configure(kMonoPort, [](json& c) { c["trigger_mode"] = 1; });  // software trigger: no image comes by itself
    auto rec = post(kMonoPort, "/v1/record", {{"imgCount", "2"}, {"recMode", "\"sequence_non_blocking\""}});
    ASSERT_TRUE(rec);
    ASSERT_EQ(rec->status, 200);

    auto first = post(kMonoPort, "/v1/waitForFirstImage", {{"timeout", "0.2"}});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 503);
    EXPECT_EQ(errorOf(first), (json{{"code", kTimeout}, {"where", "waitForFirstImage"}}));
    auto fresh = post(kMonoPort, "/v1/waitForNewImage", {{"timeout", "0.1"}, {"delay", "false"}});
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->status, 503);
    EXPECT_EQ(errorOf(fresh), (json{{"code", kTimeout}, {"where", "waitForNewImage"}}));
    for (const httplib::Params& params : {httplib::Params{{"timeout", "soon"}}, httplib::Params{{"timeout", "true"}},
                                          httplib::Params{{"timeout", "0.1"}, {"delay", "1"}},
                                          httplib::Params{{"timeout", "0.1"}, {"delay", "\"true\""}}}) {
        auto res = post(kMonoPort, "/v1/waitForFirstImage", params);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 500) << text(params);
    }
    EXPECT_EQ(recorded(kMonoPort), 0u);

    auto trigger = post(kMonoPort, "/v1/trigger");
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->status, 200);
    EXPECT_EQ(trigger->body, "");
    auto arrived = post(kMonoPort, "/v1/waitForFirstImage", {{"timeout", "10"}});
    ASSERT_TRUE(arrived);
    EXPECT_EQ(arrived->status, 200);
    EXPECT_EQ(arrived->body, "");
    auto unlimited = post(kMonoPort, "/v1/waitForFirstImage");  // the image is there, so no wait
    ASSERT_TRUE(unlimited);
    EXPECT_EQ(unlimited->status, 200);

    // A wait without time-out returns once the second trigger brings the last image.
    std::optional<httplib::Result> waited;
    std::thread waiter(
        [&] { waited.emplace(qortest::client(kMonoPort, 10)->Post("/v1/waitForNewImage", "", "text/plain")); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(post(kMonoPort, "/v1/trigger")->status, 200);
    waiter.join();
    ASSERT_TRUE(waited && *waited);
    EXPECT_EQ((*waited)->status, 200);
    for (int i = 0; i < 200 && recording(kMonoPort); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(recorded(kMonoPort), 2u);
    EXPECT_FALSE(recording(kMonoPort));
    EXPECT_EQ(post(kMonoPort, "/v1/trigger")->status, 200);  // a stopped recorder takes none, still 200
}

TEST_F(ImageRoutesTest, WithoutARecorderWaitsAndImagesReportTheMissingRecording) {
    // The colour camera has no camera RAM, so it starts without any recorder.
    for (const char* path : {"/v1/waitForFirstImage", "/v1/waitForNewImage"}) {
        auto res = post(kColorPort, path, {{"timeout", "1"}});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 503) << path;
        EXPECT_EQ(errorOf(res).at("code"), kNoRecorder) << path;
        EXPECT_EQ("/v1/" + errorOf(res).at("where").get<std::string>(), path);
    }
    auto image = get(kColorPort, "/v1/image", {{"index", "0"}, {"format", "\"Mono16\""}});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->status, 503);
    EXPECT_EQ(errorOf(image), (json{{"code", kNoRecorder}, {"where", "image"}}));
    EXPECT_TRUE(image->has_header("crop"));
    EXPECT_EQ(get(kColorPort, "/v1/getRecordedImageCount")->body, R"({"recorded":0})");
    EXPECT_EQ(get(kColorPort, "/v1/isRecording")->body, "false");
    EXPECT_EQ(post(kColorPort, "/v1/stop")->status, 200);
    EXPECT_EQ(post(kColorPort, "/v1/trigger")->status, 200);
}

// ---------------------------------------------------------------------------------------------
// /v1/imageAverage

TEST_F(ImageRoutesTest, AverageIsTheRoundedMeanOfTheRecordedImages) {
    smallFastImages(kMonoPort);
    recordSequence(kMonoPort, 3);
    std::vector<uint32_t> sum(128 * 64, 0);
    for (int i = 0; i < 3; ++i) {
        auto res = get(kMonoPort, "/v1/image", {{"index", std::to_string(i)}, {"format", "\"Mono16\""}});
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
        const std::vector<uint16_t> pixels = words(res->body);
        ASSERT_EQ(pixels.size(), sum.size());
        for (size_t k = 0; k < sum.size(); ++k) sum[k] += pixels[k];
    }
    auto average = get(kMonoPort, "/v1/imageAverage", {{"format", "\"Mono16\""}});
    ASSERT_TRUE(average);
    ASSERT_EQ(average->status, 200) << average->body;
    EXPECT_EQ(average->get_header_value("crop"), R"({"x0":1,"x1":128,"y0":1,"y1":64})");
    EXPECT_EQ(average->get_header_value("recorderImageNumber"), "2");
    EXPECT_FALSE(average->has_header("metadata"));
    EXPECT_FALSE(average->has_header("timestamp"));
    const std::vector<uint16_t> mean = words(average->body);
    ASSERT_EQ(mean.size(), sum.size());
    size_t differing = 0;
    for (size_t k = 0; k < sum.size(); ++k) differing += mean[k] != (sum[k] + 1) / 3;
    EXPECT_EQ(differing, 0u);

    auto cropped = get(kMonoPort, "/v1/imageAverage", {{"format", "\"Mono16\""}, {"crop", R"({"x0":2,"y0":2,"x1":5,"y1":3})"}});
    ASSERT_TRUE(cropped);
    ASSERT_EQ(cropped->status, 200);
    EXPECT_EQ(cropped->get_header_value("crop"), R"({"x0":2,"x1":5,"y0":2,"y1":3})");
    const std::vector<uint16_t> part = words(cropped->body);
    ASSERT_EQ(part.size(), 8u);
    EXPECT_EQ(part[0], mean[1 * 128 + 1]);
    EXPECT_EQ(part[7], mean[2 * 128 + 4]);

    auto converted = get(kMonoPort, "/v1/imageAverage", {{"format", "\"Mono8\""}});
    ASSERT_TRUE(converted);
    ASSERT_EQ(converted->status, 200);
    EXPECT_TRUE(converted->has_header("convCtrl"));
    EXPECT_EQ(converted->body, average->body);

    EXPECT_EQ(get(kMonoPort, "/v1/imageAverage")->status, 400);
    auto compressed = get(kMonoPort, "/v1/imageAverage", {{"format", "\"CompressedMono8\""}});
    ASSERT_TRUE(compressed);
    EXPECT_EQ(compressed->status, 503);
    EXPECT_EQ(errorOf(compressed), (json{{"code", kInvalidArgument}, {"where", "imageAverage"}}));
}

// ---------------------------------------------------------------------------------------------
// Camera RAM

TEST_F(ImageRoutesTest, CameraRamRoutesOnTheMonoCamera) {
    auto has = get(kMonoPort, "/v1/hasRam");
    ASSERT_TRUE(has);
    EXPECT_EQ(has->body, "true");
    EXPECT_EQ(has->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(get(kMonoPort, "/v1/getCamRamSegment")->body, "1");
    EXPECT_TRUE(json::parse(get(kMonoPort, "/v1/getCamRamMaxImages")->body).is_number_unsigned());
    EXPECT_EQ(get(kMonoPort, "/v1/getCamRamNumImages")->body, "0");
    EXPECT_EQ(get(kMonoPort, "/v1/getCamRamAllocation")->body, "[100,0,0,0]");

    auto set = put(kMonoPort, "/v1/setCamRamAllocation", R"({"percents":[25,25]})");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->status, 200);
    EXPECT_EQ(set->body, "");
    EXPECT_EQ(get(kMonoPort, "/v1/getCamRamAllocation")->body, "[25,25,0,0]");

    struct Case {
        const char* body;
        int status;
    };
    for (const Case& c : {Case{R"({"percents":"25"})", 500}, Case{R"({"percents":["a"]})", 500},
                          Case{R"({"percent":[25]})", 400}, Case{"{}", 400}, Case{"[25,25]", 400},
                          Case{"25", 400}, Case{"{\"percents\":", 500}, Case{"", 500},
                          Case{R"({"percents":[60,50]})", 503}}) {
        auto res = put(kMonoPort, "/v1/setCamRamAllocation", c.body);
        ASSERT_TRUE(res) << c.body;
        EXPECT_EQ(res->status, c.status) << c.body;
    }
    EXPECT_EQ(get(kMonoPort, "/v1/getCamRamAllocation")->body, "[25,25,0,0]");  // nothing refused was applied

    auto switched = post(kMonoPort, "/v1/switchToCamRam", {{"segment", "1"}});
    ASSERT_TRUE(switched);
    EXPECT_EQ(switched->status, 200);
    EXPECT_EQ(post(kMonoPort, "/v1/switchToCamRam")->status, 200);
    // A segment is a number: a text or a boolean is refused.
    for (const char* segment : {"\"x\"", "true", "false", "[1]"}) {
        auto bad = post(kMonoPort, "/v1/switchToCamRam", {{"segment", segment}});
        ASSERT_TRUE(bad) << segment;
        EXPECT_EQ(bad->status, 500) << segment;
    }
    auto invalid = post(kMonoPort, "/v1/switchToCamRam", {{"segment", "9"}});
    ASSERT_TRUE(invalid);
    EXPECT_EQ(invalid->status, 503);
    EXPECT_EQ(errorOf(invalid).at("where"), "switchToCamRam");
}

TEST_F(ImageRoutesTest, CameraRamRoutesOnTheColourCameraReportTheMissingRam) {
    EXPECT_EQ(get(kColorPort, "/v1/hasRam")->body, "false");
    for (const char* path : {"/v1/getCamRamSegment", "/v1/getCamRamMaxImages", "/v1/getCamRamNumImages"}) {
        auto res = get(kColorPort, path);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 503) << path;
        EXPECT_EQ(errorOf(res).at("code"), kCamRamUnsupported) << path;
        EXPECT_EQ("/v1/" + errorOf(res).at("where").get<std::string>(), path);
    }
    auto allocation = get(kColorPort, "/v1/getCamRamAllocation");
    ASSERT_TRUE(allocation);
    EXPECT_EQ(allocation->status, 503);
    EXPECT_EQ(errorOf(allocation), (json{{"code", kInvalidArgument}, {"where", "getCamRamAllocation"}}));
    auto switched = post(kColorPort, "/v1/switchToCamRam", {{"segment", "1"}});
    ASSERT_TRUE(switched);
    EXPECT_EQ(switched->status, 503);
    EXPECT_EQ(errorOf(switched), (json{{"code", kCamRamUnsupported}, {"where", "switchToCamRam"}}));
}

}  // namespace
