// Recording into memory, files and camera RAM: modes and counts, capacity notices, waits, triggers,
// the recorded pixels with their time stamps and metadata, camera RAM segments and recorder faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <set>
#include <thread>

#include "camera/camera.h"
#include "camera/vendor/qor_camsys.h"
#include "tests/support/expected_pattern.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qortest::codeOf;
using qortest::messageOf;
using qortest::stdoutOf;
using qortest::waitUntil;
using qortest::kMsg;

using namespace std::chrono_literals;
using qor::Camera;
using qor::CameraException;
using qor::Configuration;
using qor::RecordMode;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();





uint64_t exposureNs(double s) { return static_cast<uint64_t>(std::llround(s * 1e9)); }

qortest::StampTime stampTime(const QOR_Timestamp& ts) {
    return {ts.wYear, ts.wMonth, ts.wDay, ts.wHour, ts.wMinute, ts.wSecond, ts.dwMicroSeconds};
}

class CameraRecordingTest : public qortest::SimTest {
protected:
    // One camera from the template with a small ROI and a short exposure, so that images follow
    // each other within microseconds. The camera-RAM read-out recorder of open is left as it is.
    std::unique_ptr<Camera> openSmall(const std::string& tmpl = "mono", const std::string& overrides = "{}",
                                      double exposure_s = 10e-6) {
        loadCamera(tmpl, overrides);
        auto cam = std::make_unique<Camera>(-1, -1);
        Configuration c;
        c.roi = tmpl == "mono" ? kMonoRoi : qor::Roi{1, 1, 64, 32};
        c.exposure_time_s = tmpl == "mono" ? exposure_s : std::max(exposure_s, 20e-6);
        cam->setConfiguration(c);
        qorsim::clearCalls();
        return cam;
    }

    static void setTriggerMode(Camera& cam, int16_t mode) {
        Configuration c;
        c.trigger_mode = mode;
        cam.setConfiguration(c);
    }

    static qortest::MonoPattern pattern(const qor::Roi& roi, double exposure_s) {
        qortest::MonoPattern p;
        p.roi_x0 = static_cast<uint32_t>(roi.x0);
        p.roi_y0 = static_cast<uint32_t>(roi.y0);
        p.width = static_cast<uint32_t>(roi.x1 - roi.x0 + 1);
        p.height = static_cast<uint32_t>(roi.y1 - roi.y0 + 1);
        p.exposure_ns = exposureNs(exposure_s);
        return p;
    }

    std::filesystem::path emptyDir(const std::string& name) {
        auto dir = tempDir() / name;
        std::filesystem::create_directories(dir);
        return dir;
    }

    static size_t fileCount(const std::filesystem::path& dir) {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
        return n;
    }

    const qor::Roi kMonoRoi{1, 1, 64, 16};
};

// ---- Modes, counts and paths ---------------------------------------------------------------

TEST_F(CameraRecordingTest, ZeroImagesIsRefusedInEveryModeButTheCamRamModes) {
    auto cam = openSmall();
    const auto file = tempDir() / "image.tif";
    for (int mode = 0; mode <= 9; ++mode) {
        SCOPED_TRACE(mode);
        const std::filesystem::path path = mode >= 4 ? file : std::filesystem::path();
        EXPECT_EQ(codeOf([&] { cam->record(0, static_cast<RecordMode>(mode), path, 0); }),
                  qor::errc::kInvalidArgument);
    }
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCreate"), 0);
}

TEST_F(CameraRecordingTest, CamRamModesRecordAsManyImagesAsTheSegmentHolds) {
    // 100 pages of 4096 pixels hold 100 images of 64 x 16.
    auto cam = openSmall("mono", R"({"camram": {"pages": 100, "segments": [100, 0, 0, 0]}})");
    cam->switchToCamRam(1);
    ASSERT_EQ(cam->getCamRamMaxImages(), 100u);

    const std::string out = stdoutOf([&] { cam->record(0, RecordMode::camram_segment, {}, 0); });
    // The segment is filled past half its capacity: the 50% notice belongs to PC memory only.
    EXPECT_EQ(out, "CamRam record mode: required_recorder_buffer_size is set automatically to maximum : 100\n");
    EXPECT_EQ(cam->getRecorderBufferSize(), 100u);
    ASSERT_TRUE(waitUntil([&] { return !cam->isRecording(); }));
    EXPECT_EQ(cam->getCamRamNumImages(), 100u);

    // The exact capacity needs no notice; a ring keeps recording until stopped.
    EXPECT_EQ(stdoutOf([&] { cam->record(100, RecordMode::camram_ring, {}, 0); }), "");
    EXPECT_TRUE(cam->isRecording());
    EXPECT_EQ(cam->getRecorderBufferSize(), 100u);
    cam->stop();
    EXPECT_FALSE(cam->isRecording());
}

TEST_F(CameraRecordingTest, CamRamRecordingSetsTheRecorderSubmodePerMode) {
    auto cam = openSmall("mono", R"({"camram": {"pages": 100, "segments": [100, 0, 0, 0]}})");
    cam->switchToCamRam(1);
    for (auto [mode, submode] : {std::pair{RecordMode::camram_segment, 0}, std::pair{RecordMode::camram_ring, 1},
                                 std::pair{RecordMode::sequence, 1}}) {
        SCOPED_TRACE(static_cast<int>(mode));
        stdoutOf([&] { cam->record(mode == RecordMode::sequence ? 2 : 0, mode, {}, 0); });
        EXPECT_EQ(qorsim::lastCallArgs("QOR_SetRecorderSubmode").at(1), submode);
        cam->stop();
    }
}

TEST_F(CameraRecordingTest, CamRamWithoutRoomForOneImageIsRefused) {
    // 100 pages cannot hold one full 2048 x 2048 frame of 1024 pages.
    loadCamera("mono", R"({"camram": {"pages": 100, "segments": [100, 0, 0, 0]}})");
    Camera cam(-1, -1);
    EXPECT_EQ(cam.getCamRamMaxImages(), 0u);
    EXPECT_EQ(messageOf([&] { cam.record(0, RecordMode::camram_segment, {}, 0); }),
              kMsg + "Camera has no memory allocated for the active segment");
    EXPECT_EQ(codeOf([&] { cam.record(5, RecordMode::camram_ring, {}, 0); }), qor::errc::kNoMemory);
}

TEST_F(CameraRecordingTest, RingBufferAndFifoNeedFourImages) {
    auto cam = openSmall();
    for (RecordMode mode : {RecordMode::ring_buffer, RecordMode::fifo}) {
        SCOPED_TRACE(static_cast<int>(mode));
        EXPECT_EQ(codeOf([&] { cam->record(3, mode, {}, 0); }), qor::errc::kNoMemory);
        cam->record(4, mode, {}, 0);
        EXPECT_TRUE(cam->isRecording());
        EXPECT_EQ(cam->getRecorderBufferSize(), 4u);
        cam->stop();
        EXPECT_FALSE(cam->isRecording());
    }
}

TEST_F(CameraRecordingTest, FilePathMustMatchTheMode) {
    auto cam = openSmall();
    const auto path = tempDir() / "image.tif";
    for (int mode = 0; mode <= 11; ++mode) {
        SCOPED_TRACE(mode);
        const bool file_mode = mode >= 4 && mode <= 9;
        const std::filesystem::path wrong = file_mode ? std::filesystem::path() : path;
        testing::internal::CaptureStdout();  // the camera-RAM modes announce their count first
        EXPECT_EQ(codeOf([&] { cam->record(5, static_cast<RecordMode>(mode), wrong, 0); }), qor::errc::kBadFilePath);
        testing::internal::GetCapturedStdout();
    }
    for (int mode : {12, -1, 1000}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(codeOf([&] { cam->record(5, static_cast<RecordMode>(mode), {}, 0); }), qor::errc::kInvalidArgument);
    }
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCreate"), 0);
}

TEST_F(CameraRecordingTest, FileModesWriteTheirFilesIntoTheFolderOfThePath) {
    auto cam = openSmall();
    const char* names[] = {"tif", "multitif", "qorraw", "b16", "dicom", "multidicom"};
    for (int mode = 4; mode <= 9; ++mode) {
        SCOPED_TRACE(names[mode - 4]);
        const auto dir = emptyDir(names[mode - 4]);
        cam->record(3, static_cast<RecordMode>(mode), dir / "image.tif", 0);
        ASSERT_TRUE(waitUntil([&] { return !cam->isRecording(); }));
        EXPECT_EQ(cam->getRecordedImageCount(), 3u);
        EXPECT_GT(fileCount(dir), 0u);
        qor::Image img;
        cam->image(img, 0, qor::DataFormat::Mono16, nullptr);
        EXPECT_EQ(img.recorderImageNumber(), 1u);
        EXPECT_TRUE(qortest::samePixels(img.data16(), qortest::expectedMonoImage(pattern(kMonoRoi, 10e-6), 1), 64));
    }
    std::set<std::string> tif_files;
    for (const auto& entry : std::filesystem::directory_iterator(tempDir() / "tif"))
        tif_files.insert(entry.path().filename().string());
    EXPECT_EQ(tif_files, (std::set<std::string>{"image_000001.tif", "image_000002.tif", "image_000003.tif"}));
}

TEST_F(CameraRecordingTest, CapacityNoticesOfPcMemory) {
    // A 1 MiB budget holds 455 images of 64 x 16 16-bit pixels (2048 bytes and 256 of overhead each).
    auto cam = openSmall("mono", R"({"memory_budget_mb": 1})");
    const std::string both =
        "Not enough space for your application.\nReqired number of images get adapted to max possible.\n";
    struct Case {
        uint32_t requested;
        const char* notice;
        uint32_t recorded;
    };
    for (const Case& c : {Case{227, "", 227}, Case{228, "You are above 50% of available space.\n", 228},
                          Case{455, "You are above 50% of available space.\n", 455}, Case{456, both.c_str(), 455},
                          Case{100000, both.c_str(), 455}}) {
        SCOPED_TRACE(c.requested);
        EXPECT_EQ(stdoutOf([&] { cam->record(c.requested, RecordMode::sequence, {}, 0); }), c.notice);
        EXPECT_EQ(cam->getRecorderBufferSize(), c.recorded);
        EXPECT_EQ(cam->getRecordedImageCount(), c.recorded);
    }
}

// ---- Blocking, non-blocking and stop -------------------------------------------------------

TEST_F(CameraRecordingTest, BlockingSequenceReturnsWithAllImages) {
    auto cam = openSmall("mono", "{}", 0.002);
    cam->record(5, RecordMode::sequence, {}, 0);
    EXPECT_FALSE(cam->isRecording());
    EXPECT_EQ(cam->getRecordedImageCount(), 5u);
    EXPECT_EQ(cam->getRecorderBufferSize(), 5u);
}

TEST_F(CameraRecordingTest, NonBlockingSequenceRecordsOnAfterReturning) {
    auto cam = openSmall("mono", "{}", 0.01);
    cam->record(30, RecordMode::sequence_non_blocking, {}, 0);
    EXPECT_TRUE(cam->isRecording());
    EXPECT_LT(cam->getRecordedImageCount(), 30u);
    ASSERT_TRUE(waitUntil([&] { return !cam->isRecording(); }));
    EXPECT_EQ(cam->getRecordedImageCount(), 30u);
}

TEST_F(CameraRecordingTest, StopEndsTheRecordingAndKeepsItsImages) {
    auto cam = openSmall("mono", "{}", 0.001);
    cam->record(1000, RecordMode::sequence_non_blocking, {}, 0);
    ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= 3; }));
    cam->stop();
    EXPECT_FALSE(cam->isRecording());
    const uint32_t count = cam->getRecordedImageCount();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(cam->getRecordedImageCount(), count);

    qor::Image img;
    cam->image(img, 0, qor::DataFormat::Mono16, nullptr);
    EXPECT_EQ(img.recorderImageNumber(), 1u);
    EXPECT_TRUE(qortest::samePixels(img.data16(), qortest::expectedMonoImage(pattern(kMonoRoi, 0.001), 1), 64));
    cam->image(img, count - 1, qor::DataFormat::Mono16, nullptr);
    EXPECT_EQ(img.recorderImageNumber(), count);
    EXPECT_NO_THROW(cam->stop());
}

TEST_F(CameraRecordingTest, WithoutRecorderTheQueriesAnswerZeroAndStopDoesNothing) {
    auto cam = openSmall("color");
    EXPECT_FALSE(cam->isRecording());
    EXPECT_EQ(cam->getRecordedImageCount(), 0u);
    EXPECT_EQ(cam->getRecorderBufferSize(), 0u);
    EXPECT_NO_THROW(cam->stop());
    EXPECT_EQ(qorsim::callCount("QOR_RecorderStopRecord"), 0);
}

TEST_F(CameraRecordingTest, IsRecordingAnswersFalseWhenTheStatusCannotBeRead) {
    auto cam = openSmall();
    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    qorsim::failNext("QOR_RecorderGetStatus", static_cast<int32_t>(0x80150001));
    EXPECT_FALSE(cam->isRecording());
    EXPECT_TRUE(cam->isRecording());
}

// ---- Waits ---------------------------------------------------------------------------------

TEST_F(CameraRecordingTest, WaitForFirstImageWithZeroTimeOutFailsAfterOnePoll) {
    auto cam = openSmall();
    setTriggerMode(*cam, 1);  // no image without a trigger
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    const int polls = qorsim::callCount("QOR_RecorderGetStatus");
    EXPECT_EQ(codeOf([&] { cam->waitForFirstImage(false, 0.0); }), qor::errc::kTimeout);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderGetStatus") - polls, 1);
}

TEST_F(CameraRecordingTest, WaitForFirstImageWithoutTimeOutReturnsWithTheFirstImage) {
    auto cam = openSmall();
    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    auto wait = std::async(std::launch::async, [&] { return codeOf([&] { cam->waitForFirstImage(true, kNaN); }); });
    EXPECT_EQ(wait.wait_for(50ms), std::future_status::timeout);
    EXPECT_TRUE(cam->trigger());
    if (wait.wait_for(5s) != std::future_status::ready) {
        cam->abortWaits();
        ADD_FAILURE() << "the wait did not end with the first image";
    }
    EXPECT_EQ(wait.get(), 0);
    EXPECT_GE(cam->getRecordedImageCount(), 1u);
}

TEST_F(CameraRecordingTest, WaitForFirstImageFailsOnARecorderThatStoppedWithoutImages) {
    auto cam = openSmall();
    // The camera-RAM read-out recorder of open was never started.
    EXPECT_EQ(codeOf([&] { cam->waitForFirstImage(false, 2.0); }), qor::errc::kNoImage);

    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    cam->stop();
    EXPECT_EQ(codeOf([&] { cam->waitForFirstImage(true, 2.0); }), qor::errc::kNoImage);
}

TEST_F(CameraRecordingTest, WaitForNewImageWaitsForAnImageAfterTheLastCopiedOne) {
    auto cam = openSmall();
    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(false, 0.0); }), qor::errc::kTimeout);

    ASSERT_TRUE(cam->trigger());
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(true, 5.0); }), 0);
    qor::Image img;
    cam->image(img, 0, qor::DataFormat::Mono16, nullptr);
    // Image 1 has been copied out: it is no longer new.
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(false, 0.0); }), qor::errc::kTimeout);

    ASSERT_TRUE(cam->trigger());
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(true, 5.0); }), 0);
}

TEST_F(CameraRecordingTest, WaitForNewImageReturnsAtOnceOnAStoppedRecorder) {
    auto cam = openSmall();
    cam->record(3, RecordMode::sequence, {}, 0);
    qor::Image img;
    cam->image(img, 2, qor::DataFormat::Mono16, nullptr);  // the newest image has been copied out
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(false, 2.0); }), 0);
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(true, kNaN); }), 0);
}

TEST_F(CameraRecordingTest, WaitsWithoutRecorderNameTheCallToMake) {
    auto cam = openSmall("color");
    EXPECT_EQ(messageOf([&] { cam->waitForFirstImage(false, 0.0); }),
              kMsg + "Camera has no recorder yet. Call \"record(...)\" before \"waitForFirstImage(...)\"");
    EXPECT_EQ(messageOf([&] { cam->waitForNewImage(false, 0.0); }),
              kMsg + "Camera has no recorder yet. Call \"record(...)\" before \"waitForNewImage(...)\"");
    EXPECT_EQ(codeOf([&] { cam->waitForFirstImage(true, kNaN); }), qor::errc::kNoRecorder);
    EXPECT_EQ(codeOf([&] { cam->waitForNewImage(true, kNaN); }), qor::errc::kNoRecorder);
}

// ---- Triggers ------------------------------------------------------------------------------

TEST_F(CameraRecordingTest, TriggerIsSentOnlyToARunningRecorder) {
    auto color = openSmall("color");
    EXPECT_FALSE(color->trigger());
    color.reset();

    auto cam = openSmall();
    EXPECT_FALSE(cam->trigger());  // the read-out recorder of open is not running
    cam->record(2, RecordMode::sequence, {}, 0);
    EXPECT_FALSE(cam->trigger());
    EXPECT_EQ(qorsim::callCount("QOR_ForceTrigger"), 0);

    // A free-running camera does not take a forced trigger, and the answer says so.
    Configuration slow;
    slow.exposure_time_s = 0.01;
    cam->setConfiguration(slow);
    cam->record(100, RecordMode::sequence_non_blocking, {}, 0);
    EXPECT_FALSE(cam->trigger());
    EXPECT_EQ(qorsim::callCount("QOR_ForceTrigger"), 1);
}

TEST_F(CameraRecordingTest, SoftwareTriggerTakesOneImagePerTrigger) {
    auto cam = openSmall();
    setTriggerMode(*cam, 1);
    cam->record(3, RecordMode::sequence_non_blocking, {}, 0);
    for (uint32_t i = 1; i <= 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(cam->trigger());
        ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= i; }));
        if (i < 3) {
            std::this_thread::sleep_for(20ms);
            EXPECT_EQ(cam->getRecordedImageCount(), i);
            EXPECT_TRUE(cam->isRecording());
        }
    }
    ASSERT_TRUE(waitUntil([&] { return !cam->isRecording(); }));
    EXPECT_EQ(cam->getRecordedImageCount(), 3u);
}

// ---- Recorded images -----------------------------------------------------------------------

struct PatternCase {
    const char* name;
    qor::Roi roi;
    double exposure_s;
    uint16_t binning = 1;
    qor::BinningMode binning_mode = qor::BinningMode::sum;
};

class RecordedPixelsTest : public CameraRecordingTest, public testing::WithParamInterface<PatternCase> {};

TEST_P(RecordedPixelsTest, FollowTheCameraPattern) {
    const PatternCase& c = GetParam();
    auto cam = openSmall();
    Configuration config;
    config.roi = c.roi;
    config.exposure_time_s = c.exposure_s;
    config.binning = qor::Binning{c.binning, c.binning, c.binning_mode};
    cam->setConfiguration(config);
    cam->record(3, RecordMode::sequence, {}, 0);

    qortest::MonoPattern p = pattern(c.roi, c.exposure_s);
    p.bin_h = p.bin_v = c.binning;
    p.average_binning = c.binning_mode == qor::BinningMode::average;
    qor::Image img;
    for (uint32_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        cam->image(img, index, qor::DataFormat::Mono16, nullptr);
        ASSERT_EQ(img.width(), p.width);
        ASSERT_EQ(img.height(), p.height);
        EXPECT_EQ(img.recorderImageNumber(), index + 1);
        EXPECT_TRUE(qortest::samePixels(img.data16(), qortest::expectedMonoImage(p, index + 1), p.width));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RecordedPixelsTest,
    testing::Values(PatternCase{"SquareAtTheOrigin", {1, 1, 64, 64}, 0.01},
                    PatternCase{"OffsetRoi", {65, 33, 128, 48}, 0.005},
                    PatternCase{"ShortestExposure", {1, 1, 64, 16}, 10e-6},
                    PatternCase{"SaturatedSquare", {1, 1, 64, 64}, 0.02},
                    PatternCase{"SumBinning", {1, 1, 64, 32}, 0.001, 2, qor::BinningMode::sum},
                    PatternCase{"AverageBinning", {5, 3, 68, 34}, 0.004, 2, qor::BinningMode::average}),
    [](const testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

TEST_F(CameraRecordingTest, BinaryTimeStampsCountUpAndOverwriteTheFirstPixels) {
    auto cam = openSmall("mono", "{}", 0.001);
    for (int16_t mode : {1, 2}) {
        SCOPED_TRACE(mode);
        Configuration c;
        c.timestamp_mode = mode;
        cam->setConfiguration(c);
        cam->record(3, RecordMode::sequence, {}, 0);
        qor::Image img;
        for (uint32_t index = 0; index < 3; ++index) {
            cam->image(img, index, qor::DataFormat::Mono16, nullptr);
            ASSERT_TRUE(img.hasTimestamp());
            const QOR_Timestamp ts = img.timestamp();
            EXPECT_EQ(+ts.dwImgCounter, index + 1);
            auto expected = qortest::expectedMonoImage(pattern(kMonoRoi, 0.001), index + 1);
            qortest::overlayBinaryTimestamp(expected, pattern(kMonoRoi, 0.001), index + 1, stampTime(ts));
            EXPECT_TRUE(qortest::samePixels(img.data16(), expected, 64));
        }
    }
    // Without a binary stamp the image has no time-stamp block and its pattern is untouched.
    for (int16_t mode : {0, 3}) {
        SCOPED_TRACE(mode);
        Configuration c;
        c.timestamp_mode = mode;
        cam->setConfiguration(c);
        cam->record(1, RecordMode::sequence, {}, 0);
        qor::Image img;
        cam->image(img, 0, qor::DataFormat::Mono16, nullptr);
        EXPECT_FALSE(img.hasTimestamp());
        EXPECT_TRUE(qortest::samePixels(img.data16(), qortest::expectedMonoImage(pattern(kMonoRoi, 0.001), 1), 64));
    }
}

TEST_F(CameraRecordingTest, MetadataDescribesEachImage) {
    auto cam = openSmall();
    Configuration c;
    c.exposure_time_s = 0.005;
    c.binning = qor::Binning{2, 2, qor::BinningMode::sum};
    c.roi = qor::Roi{1, 1, 96, 20};
    cam->setConfiguration(c);
    ASSERT_EQ(cam->getConfiguration().metadata_mode, 1);  // switched on by the default configuration
    cam->record(3, RecordMode::sequence, {}, 0);
    qor::Image img;
    for (uint32_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        cam->image(img, index, qor::DataFormat::Mono16, nullptr);
        ASSERT_TRUE(img.hasMetaData());
        const QOR_Metadata m = img.metaData();
        EXPECT_EQ(+m.wEXPOSURE_TIME_BASE, 1);  // microseconds
        EXPECT_EQ(+m.dwEXPOSURE_TIME, 5000u);
        EXPECT_EQ(+m.wIMAGE_SIZE_X, 96);
        EXPECT_EQ(+m.wIMAGE_SIZE_Y, 20);
        EXPECT_EQ(+m.bBINNING_X, 2);
        EXPECT_EQ(+m.bBINNING_Y, 2);
        EXPECT_EQ(+m.dwCAMERA_SERIAL_NO, 10001u);
        EXPECT_EQ(uint32_t{m.bIMAGE_COUNTER_BCD[0]}, index + 1);  // BCD of 1 to 3
    }

    Configuration off;
    off.metadata_mode = 0;
    cam->setConfiguration(off);
    cam->record(1, RecordMode::sequence, {}, 0);
    qor::Image plain;
    cam->image(plain, 0, qor::DataFormat::Mono16, nullptr);
    EXPECT_FALSE(plain.hasMetaData());
}

TEST_F(CameraRecordingTest, ExposureChangesDuringARecordingWithoutArmingWhileTheConfigurationIsLocked) {
    auto cam = openSmall();
    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    const int arms = qorsim::callCount("QOR_ArmCamera");

    cam->setExposureTime(0.002);
    EXPECT_DOUBLE_EQ(cam->getExposureTime(), 0.002);
    cam->setDelayTime(0.0001);
    EXPECT_DOUBLE_EQ(cam->getDelayTime(), 0.0001);
    EXPECT_EQ(qorsim::callCount("QOR_ArmCamera"), arms);
    EXPECT_TRUE(cam->isRecording());

    Configuration c;
    c.exposure_time_s = 0.003;
    EXPECT_EQ(messageOf([&] { cam->setConfiguration(c); }),
              kMsg + "Can not set configuration if recoding is running!");
    EXPECT_EQ(codeOf([&] { cam->setConfiguration(c); }), qor::errc::kBusyRecording);
    EXPECT_DOUBLE_EQ(cam->getExposureTime(), 0.002);

    // The next image is taken with the new time.
    ASSERT_TRUE(cam->trigger());
    ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= 1; }));
    qor::Image img;
    cam->image(img, 0, qor::DataFormat::Mono16, nullptr);
    EXPECT_EQ(+img.metaData().dwEXPOSURE_TIME, 2000000u);
    EXPECT_EQ(+img.metaData().wEXPOSURE_TIME_BASE, 0);

    cam->stop();
    cam->setExposureTime(0.001);
    EXPECT_EQ(qorsim::callCount("QOR_ArmCamera"), arms + 1);
}

// ---- Camera RAM ----------------------------------------------------------------------------

TEST_F(CameraRecordingTest, CamRamAllocationInWholePercentsOfFourSegments) {
    auto cam = openSmall();  // 65536 pages: one percent is 655 pages
    struct Case {
        std::vector<uint32_t> percents;
        std::vector<uint32_t> read_back;
    };
    for (const Case& c : {Case{{10, 20, 30, 40, 50}, {10, 20, 30, 40}}, Case{{25, 25}, {25, 25, 0, 0}},
                          Case{{100}, {100, 0, 0, 0}}, Case{{}, {0, 0, 0, 0}}}) {
        SCOPED_TRACE(testing::PrintToString(c.percents));
        cam->setCamRamAllocation(c.percents);
        EXPECT_EQ(cam->getCamRamAllocation(), c.read_back);
        std::vector<int64_t> pages;
        for (uint32_t p : c.read_back) pages.push_back(int64_t{p} * 655);
        auto args = qorsim::lastCallArgs("QOR_SetCameraRamSegmentSize");
        EXPECT_EQ(std::vector<int64_t>(args.begin() + 1, args.end()), pages);
    }

    cam->setCamRamAllocation({25, 25});
    const int writes = qorsim::callCount("QOR_SetCameraRamSegmentSize");
    for (const std::vector<uint32_t>& too_much : {std::vector<uint32_t>{50, 60}, std::vector<uint32_t>{101},
                                                  std::vector<uint32_t>{0, 0, 0, 0xFFFFFFFF}}) {
        SCOPED_TRACE(testing::PrintToString(too_much));
        EXPECT_EQ(messageOf([&] { cam->setCamRamAllocation(too_much); }),
                  kMsg + "Sum of percentages is greater than 100%");
        EXPECT_EQ(codeOf([&] { cam->setCamRamAllocation(too_much); }), qor::errc::kInvalidArgument);
    }
    EXPECT_EQ(qorsim::callCount("QOR_SetCameraRamSegmentSize"), writes);
    EXPECT_EQ(cam->getCamRamAllocation(), (std::vector<uint32_t>{25, 25, 0, 0}));
}

TEST_F(CameraRecordingTest, CamRamSegmentQueriesFollowTheSelectedSegment) {
    auto cam = openSmall();
    EXPECT_EQ(cam->getCamRamSegment(), 1);
    cam->setCamRamAllocation({50, 25});
    cam->switchToCamRam(2);
    EXPECT_EQ(cam->getCamRamSegment(), 2);
    // One 64 x 16 image takes one page: 25 % are 16375 pages.
    EXPECT_EQ(cam->getCamRamMaxImages(), 16375u);
    EXPECT_EQ(cam->getCamRamNumImages(), 0u);
    cam->switchToCamRam();  // the camera's active segment again
    EXPECT_EQ(cam->getCamRamSegment(), 2);
    cam->switchToCamRam(1);
    EXPECT_EQ(cam->getCamRamMaxImages(), 32750u);

    // While a PC-memory recorder exists, the counts are the recorder's.
    cam->record(4, RecordMode::sequence, {}, 0);
    EXPECT_EQ(cam->getCamRamNumImages(), 4u);
}

TEST_F(CameraRecordingTest, SegmentRecordingIsReadBackAfterSwitchingToTheSegment) {
    const qor::Roi roi{65, 33, 128, 48};
    auto cam = openSmall("mono", R"({"camram": {"pages": 100, "segments": [100, 0, 0, 0]}})");
    Configuration c;
    c.roi = roi;
    c.exposure_time_s = 0.0001;
    cam->setConfiguration(c);
    cam->switchToCamRam(1);
    stdoutOf([&] { cam->record(0, RecordMode::camram_segment, {}, 0); });
    ASSERT_TRUE(waitUntil([&] { return !cam->isRecording(); }));
    EXPECT_EQ(cam->getCamRamNumImages(), 100u);

    cam->switchToCamRam(1);
    EXPECT_FALSE(cam->isRecording());
    EXPECT_EQ(cam->getCamRamNumImages(), 100u);
    EXPECT_EQ(cam->getCamRamMaxImages(), 100u);
    const qortest::MonoPattern p = pattern(roi, 0.0001);
    qor::Image img;
    for (uint32_t index : {0u, 99u}) {
        SCOPED_TRACE(index);
        cam->image(img, index, qor::DataFormat::Mono16, nullptr);
        EXPECT_EQ(img.recorderImageNumber(), index + 1);
        EXPECT_EQ(img.width(), 64u);
        EXPECT_EQ(img.height(), 16u);
        EXPECT_TRUE(img.hasMetaData());
        EXPECT_TRUE(qortest::samePixels(img.data16(), qortest::expectedMonoImage(p, index + 1), 64));
    }
}

TEST_F(CameraRecordingTest, CameraWithoutCamRamRefusesTheCamRamOperations) {
    auto cam = openSmall("color");
    EXPECT_FALSE(cam->hasRam());
    const std::string message = kMsg + "Camera does not support CamRam!";
    struct Case {
        const char* name;
        std::function<void()> call;
        int32_t code;
    };
    const Case cases[] = {
        {"switchToCamRam()", [&] { cam->switchToCamRam(); }, qor::errc::kCamRamUnsupported},
        {"switchToCamRam(1)", [&] { cam->switchToCamRam(1); }, qor::errc::kCamRamUnsupported},
        {"getCamRamSegment", [&] { cam->getCamRamSegment(); }, qor::errc::kCamRamUnsupported},
        {"getCamRamMaxImages", [&] { cam->getCamRamMaxImages(); }, qor::errc::kCamRamUnsupported},
        {"getCamRamNumImages", [&] { cam->getCamRamNumImages(); }, qor::errc::kCamRamUnsupported},
        {"camram_ring", [&] { cam->record(0, RecordMode::camram_ring, {}, 0); }, qor::errc::kInvalidArgument},
        {"camram_segment", [&] { cam->record(10, RecordMode::camram_segment, {}, 0); }, qor::errc::kInvalidArgument},
        {"setCamRamAllocation", [&] { cam->setCamRamAllocation({50}); }, qor::errc::kInvalidArgument},
        {"getCamRamAllocation", [&] { cam->getCamRamAllocation(); }, qor::errc::kInvalidArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(messageOf(c.call), message);
        EXPECT_EQ(codeOf(c.call), c.code);
    }
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCreate"), 0);
}

// ---- Recorder faults -----------------------------------------------------------------------

TEST_F(CameraRecordingTest, AFailingRecorderCallFailsTheRecordAndTheCameraStaysUsable) {
    constexpr int32_t kFault = static_cast<int32_t>(0x8015000B);
    auto cam = openSmall("mono", "{}", 0.002);
    struct Case {
        const char* call;
        int skip;
    };
    // The status fault lets a few calls pass, so it hits the poll of the running 50-image sequence.
    for (const Case& c : {Case{"QOR_RecorderCreate", 0}, Case{"QOR_RecorderInit", 0},
                          Case{"QOR_RecorderStartRecord", 0}, Case{"QOR_RecorderSetAutoExpRegions", 0},
                          Case{"QOR_RecorderGetStatus", 3}}) {
        SCOPED_TRACE(c.call);
        qorsim::failAfter(c.call, c.skip, kFault);
        EXPECT_EQ(codeOf([&] { cam->record(50, RecordMode::sequence, {}, 0); }), kFault);
        qorsim::clearFaults();
        // A failed poll leaves the sequence running; stop() brings the camera back in every case.
        cam->stop();
        cam->record(2, RecordMode::sequence, {}, 0);
        EXPECT_EQ(cam->getRecordedImageCount(), 2u);
        EXPECT_FALSE(cam->isRecording());
    }
}

TEST_F(CameraRecordingTest, FailedRecorderCreationLeavesNoRecorder) {
    auto cam = openSmall();
    qorsim::failNext("QOR_RecorderCreate", static_cast<int32_t>(0x80150009));
    EXPECT_EQ(codeOf([&] { cam->record(5, RecordMode::sequence, {}, 0); }), static_cast<int32_t>(0x80150009));
    EXPECT_EQ(cam->getRecordedImageCount(), 0u);
    EXPECT_FALSE(cam->trigger());
    EXPECT_EQ(codeOf([&] { cam->waitForFirstImage(false, 0.0); }), qor::errc::kNoRecorder);
}

}  // namespace

// ---- Back-to-back recordings ----------------------------------------------------------------

TEST_F(CameraRecordingTest, ARecorderReportsItsStopOnlyOnceTheCameraLeftItsRecordingState) {
    // A client that sees the stop may arm the camera again at once (a blocking record returns and the
    // next one starts): the camera must no longer be recording by then, or every setting fails busy.
    // The status is polled without pause, so the poll meets the stop as early as it can.
    auto cam = openSmall();
    int busy = 0;
    int round = 0;
    for (; round < 400 && busy == 0; ++round) {
        cam->record(1, RecordMode::sequence_non_blocking, {}, 0);
        while (cam->isRecording()) {
        }
        uint16_t state = 0;
        ASSERT_EQ(QOR_GetRecordingState(cam->handle(), &state), 0);
        if (state != 0) ++busy;
    }
    EXPECT_EQ(busy, 0) << "still recording after the stop in round " << round;
}
