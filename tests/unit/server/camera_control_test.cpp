// The CameraControl facade: construction and reopening, the last error and the failure lines,
// the facade without a camera, the SDK description record, and which operations wait for each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <thread>

#include "server/camera_control.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qortest::stdoutOf;
using qortest::waitUntil;
using qortest::kMsg;

using namespace std::chrono_literals;
using qor::Configuration;
using qor::RecordMode;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();



// The what-text the camera library builds for an SDK status.
std::string sdkText(int32_t code) { return qor::CameraException(code).what(); }

void expectLastError(const CameraControl& cc, int32_t code, const std::string& where) {
    auto error = cc.getLastError();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, code);
    EXPECT_EQ(error->where, where);
}

class CameraControlTest : public qortest::SimTest {
protected:
    static void smallFrame(CameraControl& cc, double exposure_s, int16_t trigger_mode = 0) {
        Configuration c;
        c.roi = qor::Roi{1, 1, 64, 16};
        c.exposure_time_s = exposure_s;
        c.trigger_mode = trigger_mode;
        ASSERT_TRUE(cc.setConfiguration(c));
    }
};

// ---- Construction and reopening ------------------------------------------------------------

TEST_F(CameraControlTest, ConstructionAnnouncesItselfAndOpensTheFirstCamera) {
    std::unique_ptr<CameraControl> cc;
    EXPECT_EQ(stdoutOf([&] { cc = std::make_unique<CameraControl>(-1, -1); }),
              "[CAMERACONTROL] Entered Camera Control constructor\n");
    EXPECT_EQ(cc->getSerial(), 10001u);
    EXPECT_EQ(cc->getName(), "SimCam Mono");
    EXPECT_FALSE(cc->getLastError().has_value());
    // The default configuration has been applied: metadata on, LSB alignment.
    EXPECT_EQ(cc->getConfiguration()->metadata_mode, 1);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_SetBitAlignment").at(1), 1);
}

TEST_F(CameraControlTest, ConstructionWithoutACameraThrowsTheCodeOfTheOpen) {
    // With every camera taken, the "any" open has no handle and fails at the description read.
    constexpr int32_t kInvalidHandle = static_cast<int32_t>(0x80140002);
    constexpr int32_t kArmFault = static_cast<int32_t>(0x80140007);
    std::vector<std::unique_ptr<qor::Camera>> holders;
    struct Case {
        const char* name;
        std::function<void()> prepare;
        int32_t serial;
        int32_t code;
    };
    const Case cases[] = {
        {"arm fails", [] { qorsim::failNext("QOR_ArmCamera", kArmFault); }, 10001, kArmFault},
        {"all in use",
         [&] {
             holders.push_back(std::make_unique<qor::Camera>(-1, -1));
             holders.push_back(std::make_unique<qor::Camera>(-1, -1));
         },
         -1, kInvalidHandle},
        {"no camera",
         [&] {
             holders.clear();
             loadDevices(R"({"cameras": []})");
         },
         -1, qor::errc::kNoCamera},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        int32_t code = 0;
        const std::string out = stdoutOf([&] {
            try {
                CameraControl cc(-1, c.serial);
            } catch (const qor::CameraException& e) {
                code = e.code();
            }
        });
        EXPECT_EQ(code, c.code);
        EXPECT_NE(out.find("open() failed:" + sdkText(c.code) + "\n"), std::string::npos) << out;
        qorsim::clearFaults();
    }
}

TEST_F(CameraControlTest, ReopenReleasesTheCameraAndOpensTheNextFreeOne) {
    auto first = std::make_unique<CameraControl>(-1, -1);
    auto second = std::make_unique<CameraControl>(-1, -1);
    ASSERT_EQ(second->getSerial(), 10002u);
    // The released camera is the only free one.
    EXPECT_TRUE(first->reopen());
    EXPECT_EQ(first->getSerial(), 10001u);

    second.reset();
    qorsim::unplug(10001);
    testing::internal::CaptureStdout();  // closing the unplugged camera reports its failure
    EXPECT_TRUE(first->reopen());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(first->getSerial(), 10002u);
    EXPECT_EQ(first->getName(), "SimCam Color");
}

TEST_F(CameraControlTest, AfterAFailedReopenEveryOperationAnswersNotOpenWithoutTouchingTheDevice) {
    CameraControl cc(-1, -1);
    CameraControl other(-1, -1);  // holds the only other camera
    qorsim::unplug(10001);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(cc.reopen());
    testing::internal::GetCapturedStdout();
    // No camera is free: the open fails at the description read without a handle.
    const int32_t kInvalidHandle = static_cast<int32_t>(0x80140002);
    expectLastError(cc, kInvalidHandle, "open");

    qor::Image img;
    std::vector<qor::Image> imgs(2);
    const qor::Roi crop{1, 1, 8, 8};
    const qor::ConvertControl mono = qor::ConvertControlMono{};
    const std::pair<const char*, std::function<bool()>> operations[] = {
        {"getName", [&] { return !cc.getName(); }},
        {"getSerial", [&] { return !cc.getSerial(); }},
        {"getRawFormat", [&] { return !cc.getRawFormat(); }},
        {"getInterface", [&] { return !cc.getInterface(); }},
        {"isColored", [&] { return !cc.isColored(); }},
        {"getDescription", [&] { return !cc.getDescription(); }},
        {"getSensorInfo", [&] { return !cc.getSensorInfo(); }},
        {"getQORDescription", [&] { return !cc.getQORDescription(); }},
        {"defaultConfiguration", [&] { return !cc.defaultConfiguration(); }},
        {"getConfiguration", [&] { return !cc.getConfiguration(); }},
        {"setConfiguration", [&] { return !cc.setConfiguration(Configuration{}); }},
        {"getExposureTime", [&] { return !cc.getExposureTime(); }},
        {"setExposureTime", [&] { return !cc.setExposureTime(0.01); }},
        {"getDelayTime", [&] { return !cc.getDelayTime(); }},
        {"setDelayTime", [&] { return !cc.setDelayTime(0.0); }},
        {"record", [&] { return !cc.record(5, RecordMode::sequence, {}, 0); }},
        {"stop", [&] { return !cc.stop(); }},
        {"isRecording", [&] { return !cc.isRecording(); }},
        {"waitForFirstImage", [&] { return !cc.waitForFirstImage(false, kNaN); }},
        {"waitForNewImage", [&] { return !cc.waitForNewImage(false, kNaN); }},
        {"getRecordedImageCount", [&] { return !cc.getRecordedImageCount(); }},
        {"getRecorderBufferSize", [&] { return !cc.getRecorderBufferSize(); }},
        {"autoExposureOn", [&] { return !cc.autoExposureOn(); }},
        {"autoExposureOff", [&] { return !cc.autoExposureOff(); }},
        {"configureAutoExposure", [&] { return !cc.configureAutoExposure(qor::RegionType::full, 0.001, 0.01); }},
        {"configureHWIO_1", [&] { return !cc.configureHWIO_1_exposureTrigger(true, qor::SignalPolarity::high_level); }},
        {"configureHWIO_2", [&] { return !cc.configureHWIO_2_acquireEnable(true, qor::SignalPolarity::high_level); }},
        {"configureHWIO_3",
         [&] { return !cc.configureHWIO_3_statusBusy(true, qor::SignalPolarity::high_level, qor::SignalType::status_busy); }},
        {"configureHWIO_4",
         [&] {
             return !cc.configureHWIO_4_statusExpos(true, qor::SignalPolarity::high_level,
                                                    qor::SignalType::status_expos, qor::SignalTiming::undefined);
         }},
        {"getConvertControl", [&] { return !cc.getConvertControl(qor::DataFormat::Mono8); }},
        {"setConvertControl", [&] { return !cc.setConvertControl(qor::DataFormat::Mono8, mono); }},
        {"loadLut", [&] { return !cc.loadLut(qor::DataFormat::BGR8, "missing.lt1"); }},
        {"adaptWhiteBalance", [&] { return !cc.adaptWhiteBalance(img); }},
        {"adaptWhiteBalance(crop)", [&] { return !cc.adaptWhiteBalance(img, crop); }},
        {"calculateColorMode", [&] { return !cc.calculateColorMode(crop); }},
        {"image", [&] { return !cc.image(img, 0, qor::DataFormat::Mono16, nullptr); }},
        {"image(crop)", [&] { return !cc.image(img, crop, 0, qor::DataFormat::Mono16, nullptr); }},
        {"images", [&] { return !cc.images(imgs, qor::DataFormat::Mono16, 0, nullptr); }},
        {"images(crop)", [&] { return !cc.images(imgs, crop, qor::DataFormat::Mono16, 0, nullptr); }},
        {"imageAverage", [&] { return !cc.imageAverage(img, qor::DataFormat::Mono16); }},
        {"imageAverage(crop)", [&] { return !cc.imageAverage(img, crop, qor::DataFormat::Mono16); }},
        {"hasRam", [&] { return !cc.hasRam(); }},
        {"switchToCamRam", [&] { return !cc.switchToCamRam(); }},
        {"switchToCamRam(segment)", [&] { return !cc.switchToCamRam(1); }},
        {"getCamRamSegment", [&] { return !cc.getCamRamSegment(); }},
        {"getCamRamMaxImages", [&] { return !cc.getCamRamMaxImages(); }},
        {"getCamRamNumImages", [&] { return !cc.getCamRamNumImages(); }},
        {"setCamRamAllocation", [&] { return !cc.setCamRamAllocation({50}); }},
        {"getCamRamAllocation", [&] { return !cc.getCamRamAllocation(); }},
        // The one exception: a trigger answers a present false.
        {"trigger", [&] { return cc.trigger() == std::optional<bool>(false); }},
    };
    qorsim::clearCalls();
    const std::string out = stdoutOf([&] {
        for (const auto& [name, answered_not_open] : operations) EXPECT_TRUE(answered_not_open()) << name;
    });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(qorsim::calls().empty()) << qorsim::calls().front().name;
    expectLastError(cc, kInvalidHandle, "open");
}

// ---- Failures: last error and console line -------------------------------------------------

TEST_F(CameraControlTest, AFailingOperationLeavesItsErrorAndPrintsItsLine) {
    CameraControl cc(-1, -1);
    qor::Image img;
    struct Case {
        const char* where;
        std::function<bool()> failed;  // runs the operation; true when it answered a failure
        int32_t code;
        std::string line;
    };
    const int32_t invalid = qor::errc::kInvalidArgument;
    const int32_t kFault = static_cast<int32_t>(0x80140007);
    const Case cases[] = {
        {"setExposureTime", [&] { return !cc.setExposureTime(100.0); }, invalid,
         "cam_->setExposureTime(s)failed:" + kMsg + "invalid exposure time: greater than max limit\n"},
        {"setDelayTime", [&] { return !cc.setDelayTime(5.0); }, invalid,
         "cam_->setDelayTime(s)failed:" + kMsg + "invalid delay time: greater than max limit\n"},
        {"setConfiguration",
         [&] {
             Configuration c;
             c.exposure_time_s = 20.0;
             return !cc.setConfiguration(c);
         },
         invalid, "cam_->setConfiguration(config)failed:" + kMsg + "invalid exposure time: greater than max limit\n"},
        {"configureAutoExposure", [&] { return !cc.configureAutoExposure(qor::RegionType::full, kNaN, 0.1); }, invalid,
         "cam_->configureAutoExposure(region_type, min_exposure_s, max_exposure_s)failed:" + kMsg +
             "invalid exposure time limits for auto exposure: NaN\n"},
        {"configureHWIO_4_statusExpos",
         [&] {
             return !cc.configureHWIO_4_statusExpos(true, qor::SignalPolarity::high_level,
                                                    qor::SignalType::status_line, qor::SignalTiming::global);
         },
         qor::errc::kNotSupported,
         "cam_->configureHWIO_4_statusExpos(on, polarity, signal_type, signal_timing)failed:" + kMsg +
             "Signal Timing only supported for signal type status_expos!\n"},
        {"setCamRamAllocation", [&] { return !cc.setCamRamAllocation({60, 50}); }, invalid,
         "cam_->setCamRamAllocation(percents)failed:" + kMsg + "Sum of percentages is greater than 100%\n"},
        {"getCamRamAllocation",
         [&] {
             qorsim::failNext("QOR_GetCameraRamSize", kFault);
             return !cc.getCamRamAllocation();
         },
         kFault, "cam_->getCamRamAllocation()failed:" + sdkText(kFault) + "\n"},
        {"switchToCamRam", [&] { return !cc.switchToCamRam(7); }, static_cast<int32_t>(0x8014000F),
         "cam_->switchToCamRam(segment)failed:" + sdkText(static_cast<int32_t>(0x8014000F)) + "\n"},
        {"image", [&] { return !cc.image(img, 5000, qor::DataFormat::Mono16, nullptr); },
         static_cast<int32_t>(0x80150005),
         "cam_->image(image_ref, image_index, data_format, comp_params)failed:" +
             sdkText(static_cast<int32_t>(0x80150005)) + "\n"},
        {"stop",
         [&] {
             qorsim::failNext("QOR_RecorderStopRecord", kFault);
             return !cc.stop();
         },
         kFault, "stop() failed:" + sdkText(kFault) + "\n"},
        // Fails after the old recorder is gone: last, since later cases need a recorder.
        {"record", [&] { return !cc.record(3, RecordMode::ring_buffer, {}, 0); }, qor::errc::kNoMemory,
         "record() failed:" + sdkText(qor::errc::kNoMemory) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        cc.clearLastError();
        bool failed = false;
        EXPECT_EQ(stdoutOf([&] { failed = c.failed(); }), c.line);
        EXPECT_TRUE(failed);
        expectLastError(cc, c.code, c.where);
        qorsim::clearFaults();
    }
}

TEST_F(CameraControlTest, TheLastErrorIsTheLatestFailureUntilCleared) {
    CameraControl cc(-1, -1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(cc.setExposureTime(100.0));
    EXPECT_FALSE(cc.record(0, RecordMode::sequence, {}, 0));
    testing::internal::GetCapturedStdout();
    expectLastError(cc, qor::errc::kInvalidArgument, "record");

    // A success leaves it; clearing empties it.
    EXPECT_TRUE(cc.setExposureTime(0.01));
    EXPECT_TRUE(cc.getName().has_value());
    expectLastError(cc, qor::errc::kInvalidArgument, "record");
    cc.clearLastError();
    EXPECT_FALSE(cc.getLastError().has_value());
}

TEST_F(CameraControlTest, SdkDescriptionRecordCountsWarningsAsSuccess) {
    CameraControl cc(-1, -1);
    auto record = cc.getQORDescription();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->wSize, sizeof(QOR_Description));
    EXPECT_EQ(record->wMaxHorzResStdDESC, 2048);
    EXPECT_EQ(record->dwMinExposureDESC, 10000u);

    qorsim::failNext("QOR_GetCameraDescription", 0x40000001);
    record = cc.getQORDescription();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->wSize, sizeof(QOR_Description));
    EXPECT_FALSE(cc.getLastError().has_value());

    qorsim::failNext("QOR_GetCameraDescription", static_cast<int32_t>(0x80140002));
    EXPECT_EQ(stdoutOf([&] { record = cc.getQORDescription(); }), "");
    EXPECT_FALSE(record.has_value());
    expectLastError(cc, qor::errc::kQorDescription, "getQORDescription");
}

// ---- Concurrency ---------------------------------------------------------------------------

TEST_F(CameraControlTest, QueriesRunBesideALongRecordWhileLockedOperationsWaitForIt) {
    CameraControl cc(-1, -1);
    smallFrame(cc, 0.01);
    std::atomic<bool> record_done{false};
    auto record = std::async(std::launch::async, [&] {
        const bool ok = cc.record(60, RecordMode::sequence, {}, 0);  // about 0.6 s
        record_done = true;
        return ok;
    });
    ASSERT_TRUE(waitUntil([&] { return cc.isRecording() == std::optional<bool>(true) || record_done; }));

    EXPECT_EQ(cc.getName(), "SimCam Mono");
    EXPECT_EQ(cc.isRecording(), std::optional<bool>(true));
    auto count = cc.getRecordedImageCount();
    ASSERT_TRUE(count.has_value());
    EXPECT_LT(*count, 60u);
    EXPECT_TRUE(cc.setExposureTime(0.01));
    EXPECT_FALSE(record_done) << "the queries waited for the record";

    auto configure = std::async(std::launch::async, [&] {
        Configuration c;
        c.exposure_time_s = 0.001;
        return cc.setConfiguration(c);
    });
    // It waits for the record; had it run beside it, it would have met the running recorder and failed.
    EXPECT_EQ(configure.wait_for(50ms), std::future_status::timeout);
    ASSERT_EQ(configure.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(configure.get());
    EXPECT_FALSE(cc.getLastError().has_value());
    ASSERT_EQ(record.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(record.get());
    EXPECT_EQ(cc.getRecordedImageCount(), 60u);
}

TEST_F(CameraControlTest, ReopenEndsAWaitWithoutTimeOut) {
    CameraControl cc(-1, -1);
    smallFrame(cc, 10e-6, 1);  // software trigger: no image comes
    ASSERT_TRUE(cc.record(5, RecordMode::sequence_non_blocking, {}, 0));
    testing::internal::CaptureStdout();
    auto wait = std::async(std::launch::async, [&] { return cc.waitForFirstImage(true, kNaN); });
    EXPECT_EQ(wait.wait_for(50ms), std::future_status::timeout);

    auto reopen = std::async(std::launch::async, [&] { return cc.reopen(); });
    if (reopen.wait_for(10s) != std::future_status::ready) {
        qorsim::unplug(10001);  // ends the wait, so that the test fails instead of hanging
        ADD_FAILURE() << "reopen did not end the wait";
    }
    EXPECT_TRUE(reopen.get());
    ASSERT_EQ(wait.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(wait.get());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cc.getSerial(), 10001u);
    EXPECT_EQ(cc.isRecording(), std::optional<bool>(false));
}

TEST_F(CameraControlTest, DestructionEndsAWaitWithoutTimeOut) {
    auto cc = std::make_unique<CameraControl>(-1, -1);
    smallFrame(*cc, 10e-6, 1);
    ASSERT_TRUE(cc->record(5, RecordMode::sequence_non_blocking, {}, 0));
    testing::internal::CaptureStdout();
    // The waiting thread gets the facade itself: the owner is reset meanwhile.
    CameraControl* facade = cc.get();
    auto wait = std::async(std::launch::async, [facade] { return facade->waitForNewImage(true, kNaN); });
    EXPECT_EQ(wait.wait_for(50ms), std::future_status::timeout);

    auto destroy = std::async(std::launch::async, [&] { cc.reset(); });
    if (destroy.wait_for(10s) != std::future_status::ready) {
        qorsim::unplug(10001);
        ADD_FAILURE() << "destruction did not end the wait";
    }
    destroy.get();
    ASSERT_EQ(wait.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(wait.get());
    testing::internal::GetCapturedStdout();
    // The camera has been released.
    CameraControl again(-1, 10001);
    EXPECT_EQ(again.getSerial(), 10001u);
}

}  // namespace
