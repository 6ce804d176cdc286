// What the hardware-signal routes hand to the camera: the real routes in-process over the
// simulated camera, whose call log shows the signal record each request set.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "discovery/dispatcher.h"
#include "server/camera_control.h"
#include "server/camera_http_server.h"
#include "sim/control.h"
#include "tests/support/server_process.h"
#include "tests/support/sim_fixture.h"

namespace {

constexpr uint16_t kPort = 8097;

class RouteSignalsTest : public qortest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        loadCamera("mono");
        control_ = std::make_unique<CameraControl>(-1, -1);
        server_ = std::make_unique<CameraHttpServer>(control_.get(), &dispatcher_, "0.0.0.0", kPort);
        server_->start();
        for (int i = 0; i < 250 && !qortest::client(kPort, 2)->Get("/v1/info"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    void TearDown() override {
        server_.reset();
        control_.reset();
        SimTest::TearDown();
    }

    Dispatcher dispatcher_{50012};
    std::unique_ptr<CameraControl> control_;
    std::unique_ptr<CameraHttpServer> server_;
};

// QOR_SetHWIOSignal logs handle, index, enabled, polarity, selected sub-signal and its timing.
TEST_F(RouteSignalsTest, PolarityNamesReachTheCameraAsTheirValues) {
    struct Case {
        const char* path;
        const char* body;
        int64_t index;
        int64_t polarity;
    };
    const Case cases[] = {
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true, "polarity": "falling_edge"})", 0, 8},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true, "polarity": "sideways"})", 0, 4},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true, "polarity": "falling_edge"})", 0, 8},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true, "polarity": "low_level"})", 0, 4},
        {"/v1/configureHWIO_2_acquireEnable", R"({"on": true, "polarity": "low_level"})", 1, 2},
        {"/v1/configureHWIO_2_acquireEnable", R"({"on": true, "polarity": "falling_edge"})", 1, 1},
        {"/v1/configureHWIO_3_statusBusy", R"({"on": true, "polarity": "low_level", "signal_type": "status_line"})", 2,
         2},
        {"/v1/configureHWIO_4_statusExpos",
         R"({"on": true, "polarity": "low_level", "signal_type": "status_expos", "signal_timing": "last_line"})", 3, 2},
    };
    for (const Case& c : cases) {
        auto res = qortest::client(kPort)->Put(c.path, c.body, "application/json");
        ASSERT_TRUE(res) << c.body;
        ASSERT_EQ(res->status, 200) << c.body;
        const auto args = qorsim::lastCallArgs("QOR_SetHWIOSignal");
        ASSERT_EQ(args.size(), 6u);
        EXPECT_EQ(args[1], c.index) << c.body;
        EXPECT_EQ(args[2], 1) << c.body;
        EXPECT_EQ(args[3], c.polarity) << c.body;
    }
    // Status busy: "Status Line" is sub-signal 1; status exposure: timing "last_line" is 3.
    qortest::client(kPort)->Put("/v1/configureHWIO_3_statusBusy",
                                R"({"on": false, "polarity": "high_level", "signal_type": "status_line"})",
                                "application/json");
    auto args = qorsim::lastCallArgs("QOR_SetHWIOSignal");
    EXPECT_EQ(args[2], 0);
    EXPECT_EQ(args[4], 1);
    qortest::client(kPort)->Put("/v1/configureHWIO_4_statusExpos",
                                R"({"on": true, "polarity": "high_level", "signal_type": "status_expos", "signal_timing": "last_line"})",
                                "application/json");
    args = qorsim::lastCallArgs("QOR_SetHWIOSignal");
    EXPECT_EQ(args[4], 0);
    EXPECT_EQ(args[5], 3);
}

}  // namespace
