// The memory an image series may hold in the real executable: a series beyond the budget is
// refused before anything is allocated, and a large series gives its memory back when a small one
// replaces it. Full-size images of the colour camera (1920 x 1200, 12 bit in 16-bit words).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"

namespace {

using nlohmann::json;
using qortest::ServerProcess;

constexpr uint16_t kColorPort = 8081;
constexpr int64_t kNoMemory = -1609158650;  // 0xA0163006
// A BGR8 image of the full colour sensor holds its raw words and its converted pixels.
constexpr uint64_t kBgr8ImageBytes = 1920ull * 1200 * 2 + 1920ull * 1200 * 3;

uint64_t residentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

class ImageSeriesMemoryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.waitUntilReady()) << server_.standardError(); }

    void record(int count) {
        auto res = http_->Post(("/v1/record?imgCount=" + std::to_string(count)).c_str());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
    }
    httplib::Result series(const std::string& extra = "") {
        return http_->Get(("/v1/images?start_index=0&format=%22BGR8%22" + extra).c_str());
    }

    ServerProcess server_{"", "series-memory"};
    std::unique_ptr<httplib::Client> http_ = qortest::client(kColorPort, 60);
};

TEST_F(ImageSeriesMemoryTest, ASeriesBeyondTheBudgetIsRefusedWithoutTakingItsMemory) {
    record(100);  // 100 x 11.5 MB is more than the 1 GiB budget
    const uint64_t before = residentBytes(server_.pid());
    auto res = series();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(json::parse(res->body), (json{{"code", kNoMemory}, {"where", "images"}}));
    EXPECT_LT(residentBytes(server_.pid()), before + 100 * kBgr8ImageBytes / 10);
    const std::string whole = R"(&crop={"x0":1,"y0":1,"x1":1920,"y1":1200})";
    auto stored = http_->Get(("/v1/getImageFromImages?index=0&format=%22BGR8%22" + whole).c_str());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status, 400) << "the refused series holds no image";
}

TEST_F(ImageSeriesMemoryTest, ALargeSeriesGivesItsMemoryBackWhenASmallOneReplacesIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators hold freed memory back on purpose";
#endif
    record(40);
    const uint64_t before = residentBytes(server_.pid());
    auto large = series();
    ASSERT_TRUE(large);
    ASSERT_EQ(large->status, 200);
    ASSERT_EQ(large->get_header_value("count"), "40");
    const uint64_t held = residentBytes(server_.pid());
    EXPECT_GT(held, before + 30 * kBgr8ImageBytes) << "the series is held between requests";

    auto small = series(R"(&crop={"x0":1,"y0":1,"x1":64,"y1":64})");
    ASSERT_TRUE(small);
    ASSERT_EQ(small->status, 200);
    EXPECT_LT(residentBytes(server_.pid()), before + 5 * kBgr8ImageBytes);
}

}  // namespace
