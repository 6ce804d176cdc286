// Several clients on one camera of the real executable: one changes the pixel format and records
// while others query and download. Every answer must be whole and of one of the two set-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"

namespace {

using nlohmann::json;
using qortest::ServerProcess;

constexpr uint16_t kColorPort = 8081;

TEST(ConcurrencyTest, QueriesAndDownloadsBesideRecordsOfTwoPixelFormatsSeeOneOfThem) {
    ServerProcess server("", "concurrency");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardError();
    auto owner = qortest::client(kColorPort);
    auto config = owner->Get("/v1/getConfiguration");
    ASSERT_TRUE(config);
    json settings = json::parse(config->body);
    settings["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 128}, {"y1", 64}};
    settings["exposure_time_s"] = 0.0005;

    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::atomic<int> mismatched{0};
    std::set<std::string> formats_seen;
    std::thread formats([&] {
        auto http = qortest::client(kColorPort);
        while (!done) {
            auto res = http->Get("/v1/getRawFormat");
            if (!res || res->status != 200 || (res->body != R"("byte")" && res->body != R"("word")"))
                ++bad;
            else
                formats_seen.insert(res->body);
        }
    });
    std::thread counts([&] {
        auto http = qortest::client(kColorPort);
        while (!done) {
            for (const char* path : {"/v1/getRecordedImageCount", "/v1/isRecording", "/v1/getConfiguration"}) {
                auto res = http->Get(path);
                if (!res || res->status != 200) ++bad;
            }
        }
    });
    std::thread downloads([&] {
        auto http = qortest::client(kColorPort);
        while (!done) {
            // Undefined: 8-bit pixels while the 8-bit format is recorded, else 16-bit words.
            auto res = http->Get(R"(/v1/image?index=0&format="Undefined")");
            // No recording yet or one being replaced answers 503; a whole image has one of two
            // sizes, and its rawFormat header names the format of that image.
            if (!res) {
                ++bad;
            } else if (res->status == 200) {
                const bool bytes = res->body.size() == 128u * 64u;
                if (!bytes && res->body.size() != 128u * 64u * 2u) ++bad;
                if (bytes != (res->get_header_value("rawFormat") == R"("byte")")) ++mismatched;
            }
        }
    });

    int records = 0;
    for (int round = 0; round < 20; ++round) {
        settings["pixel_format"] = round % 2 ? 16 : 4;
        auto set = owner->Put("/v1/setConfiguration", settings.dump(), "application/json");
        ASSERT_TRUE(set);
        ASSERT_EQ(set->status, 200) << set->body;
        auto rec = owner->Post("/v1/record?imgCount=2");
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->status, 200) << rec->body;
        records += rec->status == 200;
    }
    done = true;
    formats.join();
    counts.join();
    downloads.join();
    EXPECT_EQ(records, 20);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(mismatched, 0) << "an image's rawFormat header names the other recording's format";
    EXPECT_EQ(formats_seen, (std::set<std::string>{R"("byte")", R"("word")"}));
    server.interrupt();
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_EQ(server.standardError().find("ThreadSanitizer"), std::string::npos) << server.standardError();
}

}  // namespace
