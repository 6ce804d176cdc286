// Hardware I/O signals (sub-signal search, timing, capability and state checks) and the recorder's
// auto exposure (limit checks, what reaches the recorder and when, and its effect on a recording).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include <nlohmann/json.hpp>

#include "camera/camera.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qortest::codeOf;
using qortest::messageOf;
using qortest::waitUntil;
using qortest::kMsg;

using namespace std::chrono_literals;
using qor::Camera;
using qor::CameraException;
using qor::Configuration;
using qor::RecordMode;
using qor::SignalPolarity;
using qor::SignalTiming;
using qor::SignalType;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();




// The four signals of the mono template; tests replace single entries.
nlohmann::json monoSignals() {
    return nlohmann::json::parse(R"([
      {"names": ["Exposure Trigger", "", "", ""], "enabled": 1, "polarity": 4},
      {"names": ["Acquire Enable", "", "", ""], "enabled": 0, "polarity": 1},
      {"names": ["Status Busy", "Status Line", "Status Armed", ""], "enabled": 1, "polarity": 1},
      {"names": ["Status Expos", "Status Line", "Status Armed", ""], "enabled": 1, "polarity": 1,
       "functionality": [7, 0, 0, 0], "parameters": [2, 0, 0, 0]}
    ])");
}

// Arguments of QOR_SetHWIOSignal in the call log: handle, index, enabled, polarity, selected, and the
// parameter of the selected sub-signal.
struct SignalWrite {
    int64_t index, enabled, polarity, selected, parameter;
    bool operator==(const SignalWrite&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SignalWrite& w) {
    return os << "{index " << w.index << ", enabled " << w.enabled << ", polarity " << w.polarity << ", selected "
              << w.selected << ", parameter " << w.parameter << "}";
}

SignalWrite lastSignalWrite() {
    auto a = qorsim::lastCallArgs("QOR_SetHWIOSignal");
    if (a.size() != 6) return {-1, -1, -1, -1, -1};
    return {a[1], a[2], a[3], a[4], a[5]};
}

class CameraSignalsTest : public qortest::SimTest {
protected:
    std::unique_ptr<Camera> openMono(const nlohmann::json& signals = monoSignals(), const std::string& extra = "{}") {
        nlohmann::json overrides = nlohmann::json::parse(extra);
        overrides["hwio"] = signals;
        loadCamera("mono", overrides.dump());
        auto cam = std::make_unique<Camera>(-1, -1);
        qorsim::clearCalls();
        return cam;
    }

    std::unique_ptr<Camera> openColor() {
        loadCamera("color");
        auto cam = std::make_unique<Camera>(-1, -1);
        qorsim::clearCalls();
        return cam;
    }

    // A recording that waits for software triggers, so it runs until stopped.
    static void startIdleRecording(Camera& cam) {
        Configuration c;
        c.roi = qor::Roi{1, 1, 64, 16};
        c.exposure_time_s = 10e-6;
        c.trigger_mode = 1;
        cam.setConfiguration(c);
        cam.record(5, RecordMode::sequence_non_blocking, {}, 0);
        ASSERT_TRUE(cam.isRecording());
    }

    static void setSmallFrame(Camera& cam, double exposure_s) {
        Configuration c;
        c.roi = qor::Roi{1, 1, 64, 16};
        c.exposure_time_s = exposure_s;
        cam.setConfiguration(c);
    }
};

// ---- Sub-signal search ---------------------------------------------------------------------

struct SearchCase {
    std::vector<std::string> names;
    SignalType type;
    bool found;
    int64_t selected;  // the record's selected index after the call
};

TEST_F(CameraSignalsTest, SubSignalSearchSelectsTheFirstNameContainingTheType) {
    const std::vector<std::string> three = {"Status Busy", "Status Expos", "Status Line", ""};
    for (const SearchCase& c :
         {SearchCase{three, SignalType::status_line, true, 2}, SearchCase{three, SignalType::status_expos, true, 1},
          SearchCase{three, SignalType::status_busy, true, 0},
          SearchCase{{"Status Line A", "Status Line B", "", ""}, SignalType::status_line, true, 0},
          SearchCase{{"Exposure", "Global Status Expos", "", ""}, SignalType::status_expos, true, 1},
          // Not found: the selected index stays as the camera had it.
          SearchCase{three, SignalType::status_armed, false, 1},
          SearchCase{{"Status Busy", "Status Expo", "", ""}, SignalType::status_expos, false, 1}}) {
        SCOPED_TRACE(testing::PrintToString(c.names) + " type " + std::to_string(static_cast<int>(c.type)));
        for (uint16_t index : {2, 3}) {
            SCOPED_TRACE(index);
            nlohmann::json signals = monoSignals();
            signals[index] = {{"names", c.names}, {"enabled", 0}, {"polarity", 1}, {"selected", 1}};
            auto cam = openMono(signals);
            const bool found = index == 2 ? cam->configureHWIO_3_statusBusy(true, SignalPolarity::rising_edge, c.type)
                                          : cam->configureHWIO_4_statusExpos(true, SignalPolarity::rising_edge, c.type,
                                                                             SignalTiming::undefined);
            EXPECT_EQ(found, c.found);
            EXPECT_EQ(lastSignalWrite(), (SignalWrite{index, 1, 4, c.selected, 0}));
        }
    }
}

TEST_F(CameraSignalsTest, NoMatchingSubSignalStillWritesEnabledAndPolarityAndArms) {
    auto cam = openMono();
    // Signal 2 offers "Status Busy", "Status Line" and "Status Armed", no exposure status.
    EXPECT_FALSE(cam->configureHWIO_3_statusBusy(false, SignalPolarity::falling_edge, SignalType::status_expos));
    EXPECT_EQ(lastSignalWrite(), (SignalWrite{2, 0, 8, 0, 0}));
    EXPECT_EQ(qorsim::callCount("QOR_ArmCamera"), 1);

    // The next call reads the stored record back.
    EXPECT_TRUE(cam->configureHWIO_3_statusBusy(true, SignalPolarity::low_level, SignalType::status_armed));
    EXPECT_EQ(lastSignalWrite(), (SignalWrite{2, 1, 2, 2, 0}));
}

TEST_F(CameraSignalsTest, TheTwoInputSignalsSetEnabledAndPolarity) {
    auto cam = openMono();
    cam->configureHWIO_1_exposureTrigger(false, SignalPolarity::falling_edge);
    EXPECT_EQ(lastSignalWrite(), (SignalWrite{0, 0, 8, 0, 0}));
    cam->configureHWIO_2_acquireEnable(true, SignalPolarity::low_level);
    EXPECT_EQ(lastSignalWrite(), (SignalWrite{1, 1, 2, 0, 0}));
    EXPECT_EQ(qorsim::callCount("QOR_ArmCamera"), 2);
    EXPECT_EQ(qorsim::callCount("QOR_GetHWIOSignalDescriptor"), 0);
}

// ---- Signal timing -------------------------------------------------------------------------

struct TimingCase {
    SignalType type;
    SignalTiming timing;
    const char* error;   // empty: succeeds
    int64_t selected;
    int64_t parameter;   // of the selected sub-signal, as written
};

TEST_F(CameraSignalsTest, TimingIsSetOnlyForTheExposureStatusOfARollingShutter) {
    // Signal 3: "Status Expos" (functionality 7, timing parameter 2), "Status Line", "Status Armed".
    auto cam = openMono();
    const std::string wrong_type = "Signal Timing only supported for signal type status_expos!";
    for (const TimingCase& c : {TimingCase{SignalType::status_expos, SignalTiming::first_line, "", 0, 1},
                                TimingCase{SignalType::status_expos, SignalTiming::last_line, "", 0, 3},
                                TimingCase{SignalType::status_expos, SignalTiming::all_lines, "", 0, 4},
                                TimingCase{SignalType::status_expos, SignalTiming::undefined, "", 0, 4},
                                TimingCase{SignalType::status_line, SignalTiming::global, wrong_type.c_str(), 0, 0},
                                TimingCase{SignalType::status_armed, SignalTiming::first_line, wrong_type.c_str(), 0,
                                           0},
                                TimingCase{SignalType::status_line, SignalTiming::undefined, "", 1, 0}}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.type)) + " timing " + std::to_string(static_cast<int>(c.timing)));
        const int writes = qorsim::callCount("QOR_SetHWIOSignal");
        if (*c.error != '\0') {
            EXPECT_EQ(messageOf([&] { cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, c.type, c.timing); }),
                      kMsg + c.error);
            EXPECT_EQ(codeOf([&] { cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, c.type, c.timing); }),
                      qor::errc::kNotSupported);
            EXPECT_EQ(qorsim::callCount("QOR_SetHWIOSignal"), writes);
        } else {
            EXPECT_TRUE(cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, c.type, c.timing));
            EXPECT_EQ(lastSignalWrite(), (SignalWrite{3, 1, 1, c.selected, c.parameter}));
        }
    }
}

TEST_F(CameraSignalsTest, TimingOnAGlobalShutterSubSignalIsRefused) {
    nlohmann::json signals = monoSignals();
    signals[3]["functionality"] = {0, 0, 0, 0};
    auto cam = openMono(signals);
    EXPECT_EQ(messageOf([&] {
                  cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, SignalType::status_expos,
                                                   SignalTiming::global);
              }),
              kMsg + "Signal Timing only supported for rolling shutter!");
    EXPECT_EQ(qorsim::callCount("QOR_SetHWIOSignal"), 0);
    EXPECT_EQ(qorsim::callCount("QOR_ArmCamera"), 0);
    EXPECT_TRUE(cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, SignalType::status_expos,
                                                 SignalTiming::undefined));
    EXPECT_EQ(lastSignalWrite(), (SignalWrite{3, 1, 1, 0, 2}));
}

// ---- Capability and state checks -----------------------------------------------------------

using HwioCall = std::function<void(Camera&)>;

struct HwioOperation {
    const char* name;
    size_t needed;
    HwioCall call;
};

const std::vector<HwioOperation>& hwioOperations() {
    static const std::vector<HwioOperation> ops = {
        {"exposureTrigger", 1, [](Camera& c) { c.configureHWIO_1_exposureTrigger(true, SignalPolarity::rising_edge); }},
        {"acquireEnable", 2, [](Camera& c) { c.configureHWIO_2_acquireEnable(true, SignalPolarity::high_level); }},
        {"statusBusy", 3,
         [](Camera& c) { c.configureHWIO_3_statusBusy(true, SignalPolarity::high_level, SignalType::status_busy); }},
        {"statusExpos", 4,
         [](Camera& c) {
             c.configureHWIO_4_statusExpos(true, SignalPolarity::high_level, SignalType::status_expos,
                                           SignalTiming::global);
         }},
    };
    return ops;
}

TEST_F(CameraSignalsTest, ASignalBeyondTheCamerasSignalCountIsNotSupported) {
    for (size_t count = 0; count <= 4; ++count) {
        SCOPED_TRACE(count);
        nlohmann::json signals = nlohmann::json::array();
        for (size_t i = 0; i < count; ++i) signals.push_back(monoSignals()[i]);
        auto cam = openMono(signals);
        for (const HwioOperation& op : hwioOperations()) {
            SCOPED_TRACE(op.name);
            if (count >= op.needed) {
                EXPECT_EQ(codeOf([&] { op.call(*cam); }), 0);
                continue;
            }
            EXPECT_EQ(messageOf([&] { op.call(*cam); }), kMsg + "HWIO signal " + op.name + " not supported!");
            EXPECT_EQ(codeOf([&] { op.call(*cam); }), qor::errc::kNotSupported);
        }
        EXPECT_EQ(qorsim::callCount("QOR_SetHWIOSignal"), static_cast<int>(count));
    }
}

TEST_F(CameraSignalsTest, CameraWithoutSignalDescriptorsRefusesEverySignal) {
    auto cam = openColor();
    for (const HwioOperation& op : hwioOperations()) {
        SCOPED_TRACE(op.name);
        EXPECT_EQ(messageOf([&] { op.call(*cam); }), kMsg + "HWIO Configuration not supported for this camera!");
        EXPECT_EQ(codeOf([&] { op.call(*cam); }), qor::errc::kNotSupported);
    }
    EXPECT_EQ(qorsim::callCount("QOR_GetHWIOSignalCount"), 0);
}

TEST_F(CameraSignalsTest, SignalsCannotChangeDuringARecording) {
    auto cam = openMono();
    startIdleRecording(*cam);
    qorsim::clearCalls();
    for (const HwioOperation& op : hwioOperations()) {
        SCOPED_TRACE(op.name);
        EXPECT_EQ(messageOf([&] { op.call(*cam); }), kMsg + "Can not change HWIO during record!");
        EXPECT_EQ(codeOf([&] { op.call(*cam); }), qor::errc::kBusyRecording);
    }
    EXPECT_EQ(qorsim::callCount("QOR_GetHWIOSignalCount"), 0);
    cam->stop();
    EXPECT_EQ(codeOf([&] { hwioOperations()[0].call(*cam); }), 0);
}

TEST_F(CameraSignalsTest, SignalTypeOutsideTheNameTableIsRefusedBeforeAnythingIsRead) {
    auto cam = openMono();
    for (int type : {4, -1, 1000}) {
        SCOPED_TRACE(type);
        const auto t = static_cast<SignalType>(type);
        EXPECT_EQ(codeOf([&] { cam->configureHWIO_3_statusBusy(true, SignalPolarity::high_level, t); }),
                  qor::errc::kInvalidArgument);
        EXPECT_EQ(codeOf([&] {
                      cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, t, SignalTiming::undefined);
                  }),
                  qor::errc::kInvalidArgument);
    }
    for (const char* call : {"QOR_GetHWIOSignalCount", "QOR_GetHWIOSignal", "QOR_GetHWIOSignalDescriptor",
                             "QOR_SetHWIOSignal", "QOR_ArmCamera"}) {
        SCOPED_TRACE(call);
        EXPECT_EQ(qorsim::callCount(call), 0);
    }
}

TEST_F(CameraSignalsTest, FailingSignalCallsAreThrownAndNothingIsWrittenBeforeTheWrite) {
    constexpr int32_t kFault = static_cast<int32_t>(0x80140007);
    auto cam = openMono();
    for (const char* call : {"QOR_GetHWIOSignalCount", "QOR_GetHWIOSignal", "QOR_GetHWIOSignalDescriptor",
                             "QOR_SetHWIOSignal", "QOR_ArmCamera"}) {
        SCOPED_TRACE(call);
        qorsim::clearCalls();
        qorsim::failNext(call, kFault);
        EXPECT_EQ(codeOf([&] {
                      cam->configureHWIO_4_statusExpos(true, SignalPolarity::high_level, SignalType::status_expos,
                                                       SignalTiming::first_line);
                  }),
                  kFault);
        const bool reached_write = std::string(call) == "QOR_SetHWIOSignal" || std::string(call) == "QOR_ArmCamera";
        EXPECT_EQ(qorsim::callCount("QOR_SetHWIOSignal"), reached_write ? 1 : 0);
    }
}

// ---- Auto exposure: limits and where the settings go ---------------------------------------

TEST_F(CameraSignalsTest, AutoExposureLimitsAreCheckedInOrder) {
    // Mono: exposure from 10 us (one 10 ns step below is allowed) to 10 s.
    auto cam = openMono();
    const std::string nan = "invalid exposure time limits for auto exposure: NaN";
    const std::string order = "invalid exposure time limits for auto exposure: min >= max";
    const std::string small = "invalid exposure time limits for auto exposure: smaller than min limit or negative";
    const std::string large = "invalid exposure time limits for auto exposure: greater than max limit";
    struct Case {
        double min_s;
        double max_s;
        const std::string& message;
    };
    for (const Case& c : {Case{kNaN, 0.1, nan}, Case{0.001, kNaN, nan}, Case{1e-9, kNaN, nan}, Case{kNaN, 20.0, nan},
                          Case{0.001, 0.001, order}, Case{0.002, 0.001, order}, Case{-2.0, -3.0, order},
                          Case{1e-9, 0.1, small}, Case{-0.001, 0.1, small}, Case{9.98e-6, 0.1, small},
                          Case{1e-9, 20.0, small}, Case{0.001, 10.001, large}}) {
        SCOPED_TRACE(std::to_string(c.min_s) + " .. " + std::to_string(c.max_s));
        EXPECT_EQ(messageOf([&] { cam->configureAutoExposure(qor::RegionType::full, c.min_s, c.max_s); }),
                  kMsg + c.message);
        EXPECT_EQ(codeOf([&] { cam->configureAutoExposure(qor::RegionType::full, c.min_s, c.max_s); }),
                  qor::errc::kInvalidArgument);
    }
    const qor::AutoExposure kept = cam->getConfiguration().auto_exposure;
    EXPECT_EQ(kept.region, qor::RegionType::balanced);
    EXPECT_DOUBLE_EQ(kept.min_exposure_s, 0.001);
    EXPECT_DOUBLE_EQ(kept.max_exposure_s, 0.1);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderSetAutoExpRegions"), 0);

    // Both ends of the range are accepted.
    const double lowest = (10000.0 - 10.0) * 1e-9;
    EXPECT_EQ(codeOf([&] { cam->configureAutoExposure(qor::RegionType::full, lowest, 10.0); }), 0);
}

TEST_F(CameraSignalsTest, ConfigureAutoExposureWithoutRecorderOnlyStoresTheSettings) {
    auto cam = openColor();
    cam->configureAutoExposure(qor::RegionType::corner_based, 0.0005, 0.5);
    const qor::AutoExposure stored = cam->getConfiguration().auto_exposure;
    EXPECT_EQ(stored.region, qor::RegionType::corner_based);
    EXPECT_DOUBLE_EQ(stored.min_exposure_s, 0.0005);
    EXPECT_DOUBLE_EQ(stored.max_exposure_s, 0.5);
    cam->autoExposureOn();
    for (const auto& call : qorsim::calls()) EXPECT_NE(call.name.rfind("QOR_Recorder", 0), 0u) << call.name;
}

TEST_F(CameraSignalsTest, AStoppedRecorderGetsTheRegionButNotTheWindow) {
    auto cam = openMono();  // the camera-RAM read-out recorder of open exists and is not running
    cam->configureAutoExposure(qor::RegionType::center_based, 0.0005, 0.05);
    ASSERT_EQ(qorsim::callCount("QOR_RecorderSetAutoExpRegions"), 1);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_RecorderSetAutoExpRegions").at(1), 1);
    cam->autoExposureOn();
    cam->autoExposureOff();
    EXPECT_EQ(qorsim::callCount("QOR_RecorderSetAutoExpRegions"), 3);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderSetAutoExposure"), 0);
}

TEST_F(CameraSignalsTest, AutoExposureConfigurationIsLockedDuringARecordingButSwitchingIsNot) {
    auto cam = openMono();
    startIdleRecording(*cam);
    EXPECT_EQ(messageOf([&] { cam->configureAutoExposure(qor::RegionType::full, 0.001, 0.01); }),
              kMsg + "Can not set auto exp configuration if recoding is running!");
    EXPECT_EQ(codeOf([&] { cam->configureAutoExposure(qor::RegionType::full, 0.001, 0.01); }),
              qor::errc::kBusyRecording);

    // Switching reaches the running recorder at once, with the stored window (default 1 ms .. 100 ms).
    cam->autoExposureOn();
    auto args = qorsim::lastCallArgs("QOR_RecorderSetAutoExposure");  // recorder, on, speed, min, max, base
    ASSERT_EQ(args.size(), 6u);
    EXPECT_EQ(std::vector<int64_t>(args.begin() + 1, args.end()), (std::vector<int64_t>{1, 3, 1000, 100000, 1}));
    cam->autoExposureOff();
    EXPECT_EQ(qorsim::lastCallArgs("QOR_RecorderSetAutoExposure").at(1), 0);
}

TEST_F(CameraSignalsTest, RecordSendsTheWindowInTheTimeBaseOfTheMaximum) {
    auto cam = openMono();
    setSmallFrame(*cam, 10e-6);
    struct Case {
        double min_s;
        double max_s;
        bool on;
        std::vector<int64_t> sent;  // on, speed, min, max, base
    };
    for (const Case& c : {Case{0.0001234567, 0.002, true, {1, 3, 123456, 2000000, 0}},
                          Case{0.0001234567, 0.05, true, {1, 3, 123, 50000, 1}},
                          Case{0.0123, 5.0, true, {1, 3, 12, 5000, 2}},
                          Case{0.0001234567, 0.002, false, {0, 3, 123456, 2000000, 0}}}) {
        SCOPED_TRACE(std::to_string(c.max_s) + (c.on ? " on" : " off"));
        cam->configureAutoExposure(qor::RegionType::balanced, c.min_s, c.max_s);
        if (c.on)
            cam->autoExposureOn();
        else
            cam->autoExposureOff();
        cam->record(2, RecordMode::sequence, {}, 0);
        auto args = qorsim::lastCallArgs("QOR_RecorderSetAutoExposure");
        ASSERT_EQ(args.size(), 6u);
        EXPECT_EQ(std::vector<int64_t>(args.begin() + 1, args.end()), c.sent);
        cam->autoExposureOff();
        setSmallFrame(*cam, 10e-6);
    }
}

// ---- Auto exposure: effect on a recording --------------------------------------------------

TEST_F(CameraSignalsTest, AutoExposureBrightensADarkRecordingWithinItsWindow) {
    auto cam = openMono();
    setSmallFrame(*cam, 10e-6);
    cam->configureAutoExposure(qor::RegionType::balanced, 10e-6, 0.1);
    cam->autoExposureOn();
    cam->record(100000, RecordMode::sequence_non_blocking, {}, 0);
    // 10 us leaves the pixels near the dark offset; mid-range needs tens of milliseconds.
    EXPECT_TRUE(waitUntil([&] { return cam->getExposureTime() >= 0.02; }));
    EXPECT_LE(cam->getExposureTime(), 0.1);
    cam->stop();
}

TEST_F(CameraSignalsTest, AutoExposureStopsAtTheMaximumOfItsWindow) {
    auto cam = openMono();
    setSmallFrame(*cam, 10e-6);
    cam->configureAutoExposure(qor::RegionType::full, 10e-6, 0.002);
    cam->autoExposureOn();
    cam->record(100000, RecordMode::sequence_non_blocking, {}, 0);
    EXPECT_TRUE(waitUntil([&] { return cam->getExposureTime() >= 0.002; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_DOUBLE_EQ(cam->getExposureTime(), 0.002);
    cam->stop();
}

TEST_F(CameraSignalsTest, WithoutAutoExposureARecordingKeepsItsExposure) {
    auto cam = openMono();
    setSmallFrame(*cam, 10e-6);
    cam->configureAutoExposure(qor::RegionType::balanced, 10e-6, 0.1);
    cam->record(100000, RecordMode::sequence_non_blocking, {}, 0);
    ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= 50; }));
    EXPECT_DOUBLE_EQ(cam->getExposureTime(), 10e-6);
    cam->stop();
}

}  // namespace
