// Inputs meant to hang, crash or mislead the camera server: table paths that are no regular files,
// upload names that cannot be stored as named, oversized bodies and values of the wrong kind. The real
// executable with the built-in device set, in a private network namespace.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using qortest::ServerProcess;

constexpr uint16_t kMono = 8080;

std::string sampleLut() {
    std::ifstream in(fs::path(QOR_SOURCE_DIR) / "sim" / "luts" / "sample.lt1", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The status of an answer, -1 when none came within the client's time-out.
int status(const httplib::Result& res) { return res ? res->status : -1; }

class HostileInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.waitUntilReady()) << server_.standardOutput() << server_.standardError();
        for (int attempt = 0; attempt < 250 && !http(2)->Get("/v1/info"); ++attempt)
            std::this_thread::sleep_for(20ms);
    }
    void TearDown() override {
        EXPECT_TRUE(server_.running()) << server_.standardError();
        server_.interrupt();
        EXPECT_EQ(server_.waitForExit(10s), 0);
    }

    // A short time-out turns a hung request into a failed one instead of a hung test.
    static std::unique_ptr<httplib::Client> http(int timeout_s = 5) { return qortest::client(kMono, timeout_s); }

    int loadLut(const std::string& file) {
        const httplib::Params params{{"format", "\"BGR8\""}, {"lutFile", json(file).dump()}};
        return status(http()->Post("/v1/loadLut", params));
    }
    int setPseudoLut(const std::string& file) {
        auto current = http()->Get("/v1/getConvertControl", httplib::Params{{"format", "\"BGR8\""}}, {});
        if (!current || current->status != 200) return -1;
        json settings = json::parse(current->body);
        settings["value"]["lut_file"] = file;
        return status(http()->Put("/v1/setConvertControl", json{{"format", "BGR8"}, {"convert", settings}}.dump(),
                                  "application/json"));
    }
    int upload(const std::string& content, const std::string& filename, std::string* body = nullptr) {
        const httplib::MultipartFormDataItems items{{"lut", content, filename, "application/octet-stream"}};
        auto res = http()->Post("/v1/uploadLut", items);
        if (res && body) *body = res->body;
        return status(res);
    }
    fs::path lutDir() const { return server_.directory() / "lut"; }

    ServerProcess server_;
};

TEST_F(HostileInputTest, TablePathsThatAreNoRegularFileAnswer404AtOnceAndTheCameraStaysUsable) {
    fs::create_directories(lutDir() / "dir.lt1");
    ASSERT_EQ(::mkfifo((lutDir() / "fifo.lt1").c_str(), 0600), 0);
    const std::vector<std::string> paths = {"fifo.lt1", (lutDir() / "fifo.lt1").string(), "dir.lt1", "/dev/null",
                                            "/dev/zero"};
    for (const std::string& path : paths) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(loadLut(path), 404) << path;
        EXPECT_EQ(setPseudoLut(path), 404) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << path;
    }
    // Nothing waits on the FIFO: the routes that take the camera's lock still answer.
    ASSERT_EQ(upload(sampleLut(), "hot.lt1"), 200);
    EXPECT_EQ(loadLut("hot.lt1"), 200);
    EXPECT_EQ(setPseudoLut("hot.lt1"), 200);
    EXPECT_EQ(status(http()->Get("/v1/getConfiguration")), 200);
}

TEST_F(HostileInputTest, UploadReplacesAFifoStandingAtTheNameWithoutOpeningIt) {
    fs::create_directories(lutDir());
    ASSERT_EQ(::mkfifo((lutDir() / "hot.lt1").c_str(), 0600), 0);
    EXPECT_EQ(upload(sampleLut(), "hot.lt1"), 200);
    EXPECT_TRUE(fs::is_regular_file(lutDir() / "hot.lt1"));
    EXPECT_EQ(fs::file_size(lutDir() / "hot.lt1"), sampleLut().size());
    EXPECT_EQ(loadLut("hot.lt1"), 200);
}

TEST_F(HostileInputTest, UploadNamesThatCannotBeAnsweredAsStoredAreRefused) {
    const std::vector<std::string> names = {
        std::string("evil5\0.lt1", 10),  // a NUL would end the stored name early
        "\xff\xfe.lt1",                  // not UTF-8
        "over\xc0\xaflong.lt1",          // an overlong encoding of '/'
        "cut\xe2\x82.lt1",               // a sequence cut short
        "bell\x07.lt1",
        "tab\t.lt1",
        "del\x7f.lt1",
    };
    for (const std::string& name : names) {
        std::string body;
        EXPECT_EQ(upload(sampleLut(), name, &body), 400) << testing::PrintToString(name);
        EXPECT_EQ(body, "");
    }
    std::vector<std::string> stored;
    if (fs::exists(lutDir()))
        for (const auto& entry : fs::directory_iterator(lutDir())) stored.push_back(entry.path().filename().string());
    EXPECT_TRUE(stored.empty()) << stored.front();
    // Printable names outside ASCII are stored and answered as they are.
    std::string body;
    EXPECT_EQ(upload(sampleLut(), "tabla-ñ-表.lt1", &body), 200);
    EXPECT_EQ(json::parse(body), json({{"saved", "tabla-ñ-表.lt1"}}));
    EXPECT_TRUE(fs::is_regular_file(lutDir() / "tabla-ñ-表.lt1"));
}

TEST_F(HostileInputTest, BodiesBeyondTheLimitAnswer413AndTheLargestTableFits) {
    const std::string huge(5u << 20, ' ');
    EXPECT_EQ(status(http()->Put("/v1/setConfiguration", huge, "application/json")), 413);
    EXPECT_EQ(upload(huge, "huge.lt3"), 413);
    EXPECT_FALSE(fs::exists(lutDir() / "huge.lt3"));
    // A text table with comments up to the conversion library's own limit of 1 MiB.
    std::string table = "# padding\n" + std::string((1u << 20) - 20000, '#') + "\n";
    for (int i = 0; i < 256; ++i) table += std::to_string(i) + " " + std::to_string(i) + " 0\n";
    ASSERT_LE(table.size(), 1u << 20);
    EXPECT_EQ(upload(table, "big.lt3"), 200);
    EXPECT_EQ(loadLut("big.lt3"), 200);
}

TEST_F(HostileInputTest, DeeplyNestedBodiesAnswer500) {
    // Within the nesting limit a document is read and refused for its content; beyond it at once.
    for (const size_t depth : {size_t{200}, size_t{300}, size_t{100000}}) {
        const std::string nested = std::string(depth, '[') + std::string(depth, ']');
        const std::string body = R"({"exposure_s": )" + nested + "}";
        EXPECT_EQ(status(http()->Put("/v1/setExposureTime", body, "application/json")), 500) << depth;
        EXPECT_EQ(status(http()->Put("/v1/setConfiguration", body, "application/json")), 500) << depth;
    }
    EXPECT_EQ(status(http()->Get("/v1/getExposureTime")), 200);
}

}  // namespace
