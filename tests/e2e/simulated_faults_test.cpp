// The device file's fault injection against the real executable: malformed entries do not stop
// the server, and a camera that disappears makes its routes answer the SDK's error.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qortest::ServerProcess;

constexpr int64_t kDisconnected = -2146172923;  // 0x80140005

TEST(SimulatedFaultsTest, MalformedFaultEntriesAreReportedAndTheCameraStillComesUp) {
    ServerProcess server(R"({"cameras": [{"template": "mono", "serial": 71}],
                             "faults": [{"call": 5, "status": "x"},
                                        {"call": "QOR_NoSuchCall", "status": 1},
                                        {"call": "QOR_GetTriggerMode", "status": "busy"}]})");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardOutput() << server.standardError();
    const std::string err = server.standardError();
    EXPECT_NE(err.find("[qor-sim] device file: \"faults\" entry 0 skipped: \"call\" must be a call name\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[qor-sim] device file: \"faults\" entry 2 skipped: \"status\" must be an integer"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[qor-sim] device file: fault for \"QOR_NoSuchCall\": no such call in this process\n"),
              std::string::npos)
        << err;
    auto http = qortest::client(8080);
    ASSERT_TRUE(http->Post("/v1/heartbeat", "", "text/plain"));
    auto config = http->Get("/v1/getConfiguration");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->status, 200) << "the skipped entry must not fail the trigger-mode read";
}

TEST(SimulatedFaultsTest, CameraUnpluggedAfterATimeAnswersDisconnectedOnItsRoutes) {
    ServerProcess server(R"({"cameras": [{"template": "mono", "serial": 72}],
                             "unplug": [{"serial": 72, "after_s": 2}]})");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardOutput() << server.standardError();
    auto http = qortest::client(8080);
    ASSERT_TRUE(http->Post("/v1/heartbeat", "", "text/plain"));
    int status = 0;
    std::string body;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    do {
        auto res = http->Get("/v1/getConfiguration");
        ASSERT_TRUE(res);
        status = res->status;
        body = res->body;
        if (status != 200) break;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(status, 503);
    EXPECT_EQ(json::parse(body), (json{{"code", kDisconnected}, {"where", "getConfiguration"}}));
    // The process keeps serving: the claim routes still answer.
    auto info = http->Get("/v1/info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200);
}

}  // namespace
