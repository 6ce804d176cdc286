// The device file's "faults" and "unplug" lists: malformed entries are reported and left out, a
// fault may block its call, and a camera disappears after a number of calls or a time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "camera/vendor/qor_camsys.h"
#include "sim/common/device_file_entries.h"
#include "sim/common/errors.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

struct MalformedCase {
    const char* entry;
    const char* reason;  // part of the report on standard error
};

class MalformedFaultTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedFaultTest, IsReportedAndLeftOutWhileTheValidEntryStays) {
    const json set = {{"faults", json::array({json::parse(GetParam().entry),
                                              {{"call", "QOR_ArmCamera"}, {"status", -2146172921}}})}};
    ::testing::internal::CaptureStderr();
    const std::vector<qorsim::FaultEntry> entries = qorsim::faultEntries(set);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(entries.size(), 1u) << err;
    EXPECT_EQ(entries[0].call, "QOR_ArmCamera");
    EXPECT_NE(err.find("\"faults\" entry 0 skipped"), std::string::npos) << err;
    EXPECT_NE(err.find(GetParam().reason), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MalformedFaultTest,
    ::testing::Values(MalformedCase{R"({"call":5,"status":"x"})", "\"call\""},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":"x"})", "\"status\" must be an integer"},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":1.5})", "\"status\" must be an integer"},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":4294967296})", "out of range"},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":-2147483649})", "out of range"},
                      MalformedCase{R"({"call":"QOR_ArmCamera"})", "needs \"status\" or \"block_ms\""},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":1,"skip":-1})", "\"skip\""},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":1,"count":0})", "\"count\""},
                      MalformedCase{R"({"call":"QOR_ArmCamera","status":1,"count":"2"})", "\"count\""},
                      MalformedCase{R"({"call":"QOR_ArmCamera","block_ms":-2})", "\"block_ms\""},
                      MalformedCase{R"(["QOR_ArmCamera", 1])", "must be an object"},
                      MalformedCase{R"(null)", "must be an object"}));

TEST(FaultEntriesTest, StatusIsTakenSignedOrAsTheUnsignedWordAndDefaultsApply) {
    const json set = json::parse(R"({"faults": [
        {"call": "QOR_ArmCamera", "status": -2146172921},
        {"call": "QOR_ArmCamera", "status": 2148794375, "skip": 2, "count": 3},
        {"call": "QOR_ArmCamera", "block_ms": -1}]})");
    const auto entries = qorsim::faultEntries(set);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].status, -2146172921);
    EXPECT_EQ(entries[1].status, -2146172921);
    EXPECT_EQ(entries[0].skip, 0);
    EXPECT_EQ(entries[0].count, 1);
    EXPECT_EQ(entries[1].skip, 2);
    EXPECT_EQ(entries[1].count, 3);
    EXPECT_FALSE(entries[2].status.has_value());
    EXPECT_EQ(entries[2].block_ms, -1);
}

TEST(FaultEntriesTest, UnknownCallIsWarnedAboutAndAListThatIsNotAListIsIgnored) {
    ::testing::internal::CaptureStderr();
    const auto entries = qorsim::faultEntries(json::parse(R"({"faults": [{"call": "QOR_NoSuchCall", "status": 1}]})"));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_NE(err.find("\"QOR_NoSuchCall\": no such call"), std::string::npos) << err;

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(qorsim::faultEntries(json::parse(R"({"faults": {"call": "QOR_ArmCamera"}})")).empty());
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"faults\" must be a list"), std::string::npos) << err;
}

TEST(UnplugEntriesTest, NeedsASerialAndExactlyOneTrigger) {
    const json set = json::parse(R"({"unplug": [
        {"serial": 1, "after_calls": 3},
        {"serial": 2, "after_s": 0.5},
        {"after_calls": 3},
        {"serial": 4},
        {"serial": 5, "after_calls": 1, "after_s": 1},
        {"serial": 6, "after_s": -1},
        {"serial": 7, "after_calls": -1},
        {"serial": "8", "after_calls": 1}]})");
    ::testing::internal::CaptureStderr();
    const auto entries = qorsim::unplugEntries(set);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(entries.size(), 2u) << err;
    EXPECT_EQ(entries[0].serial, 1u);
    EXPECT_EQ(entries[0].after_calls, 3u);
    EXPECT_EQ(entries[1].serial, 2u);
    EXPECT_EQ(entries[1].after_s, 0.5);
    for (int i = 2; i <= 7; ++i)
        EXPECT_NE(err.find("\"unplug\" entry " + std::to_string(i) + " skipped"), std::string::npos) << err;
}

class DeviceFileTest : public qortest::SimTest {
protected:
    QOR_HANDLE openFirst() {
        QOR_HANDLE h = nullptr;
        EXPECT_EQ(QOR_OpenCameraDevice(&h, 1), 0);
        return h;
    }
    static uint32_t listedCameras() {
        uint32_t count = 0;
        QOR_ScanCameras(0, &count, nullptr, 0);
        return count;
    }
};

TEST_F(DeviceFileTest, BlockingFaultWaitsThenReturnsItsStatusOrActsNormally) {
    QOR_HANDLE h = openFirst();
    qorsim::blockAfter("QOR_SetTriggerMode", 0, 50, static_cast<int32_t>(0x80140007));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QOR_SetTriggerMode(h, 1), static_cast<int32_t>(0x80140007));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    uint16_t mode = 9;
    ASSERT_EQ(QOR_GetTriggerMode(h, &mode), 0);
    EXPECT_EQ(mode, 0) << "a call that returns an injected status does nothing else";

    qorsim::blockAfter("QOR_SetTriggerMode", 1, 20);
    EXPECT_EQ(QOR_SetTriggerMode(h, 2), 0);
    EXPECT_EQ(QOR_SetTriggerMode(h, 1), 0);
    ASSERT_EQ(QOR_GetTriggerMode(h, &mode), 0);
    EXPECT_EQ(mode, 1) << "a blocking fault without a status lets the call act";
}

TEST_F(DeviceFileTest, CallBlockedForeverDoesNotHoldUpOtherCalls) {
    QOR_HANDLE h = openFirst();
    qorsim::blockAfter("QOR_GetNoiseFilterMode", 0, -1);
    auto returned = std::make_shared<std::atomic<bool>>(false);
    // The thread never ends; it is left behind as a hung vendor call would be.
    std::thread([h, returned] {
        uint16_t mode = 0;
        QOR_GetNoiseFilterMode(h, &mode);
        *returned = true;
    }).detach();
    ASSERT_TRUE(qortest::waitUntil([] { return qorsim::callCount("QOR_GetNoiseFilterMode") == 1; }));
    uint16_t mode = 0;
    EXPECT_EQ(QOR_GetTriggerMode(h, &mode), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(*returned);
}

TEST_F(DeviceFileTest, CameraDisappearsAfterTheGivenNumberOfCallsOnItsHandles) {
    loadDevices(R"({"cameras": [{"template": "mono", "serial": 31}, {"template": "color", "serial": 32}],
                    "unplug": [{"serial": 31, "after_calls": 3}]})");
    QOR_HANDLE h = openFirst();
    uint16_t mode = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(QOR_GetTriggerMode(h, &mode), 0) << "call " << i;
    EXPECT_EQ(QOR_GetTriggerMode(h, &mode), qorsim::err::kDisconnected);
    EXPECT_EQ(listedCameras(), 1u);
}

TEST_F(DeviceFileTest, CameraDisappearsTheGivenTimeAfterTheLibraryWasInitialised) {
    loadDevices(R"({"cameras": [{"template": "mono", "serial": 41}, {"template": "mono", "serial": 42}],
                    "unplug": [{"serial": 41, "after_s": 0.2}, {"serial": 42, "after_s": 600}]})");
    ASSERT_EQ(QOR_InitializeLib(), 0);
    QOR_HANDLE h = openFirst();
    ASSERT_TRUE(qortest::waitUntil([] { return listedCameras() == 1; }));
    uint16_t mode = 0;
    EXPECT_EQ(QOR_GetTriggerMode(h, &mode), qorsim::err::kDisconnected);
}

TEST_F(DeviceFileTest, UnplugEntryOfAnUnknownSerialIsReported) {
    ::testing::internal::CaptureStderr();
    loadDevices(R"({"cameras": [{"template": "mono", "serial": 51}], "unplug": [{"serial": 52, "after_calls": 1}]})");
    EXPECT_EQ(listedCameras(), 1u);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no camera 52 to unplug"), std::string::npos) << err;
}

}  // namespace
