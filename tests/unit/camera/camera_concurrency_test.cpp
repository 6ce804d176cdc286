// Queries that run beside the operations that change a camera (as the server runs them unlocked):
// what they answer of the recording set up meanwhile is always one whole recording's state.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <variant>

#include "camera/camera.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qor::Camera;
using qor::Configuration;
using qor::RawFormat;
using qor::RecordMode;
using qor::Roi;

class CameraConcurrencyTest : public qortest::SimTest {
protected:
    // Runs `change` `rounds` times while `query` runs on another thread; returns the queries made.
    template <class Change, class Query>
    static int beside(int rounds, Change change, Query query) {
        std::atomic<bool> done{false};
        auto queries = std::async(std::launch::async, [&] {
            int n = 0;
            while (!done) {
                query();
                ++n;
            }
            return n;
        });
        for (int i = 0; i < rounds; ++i) change(i);
        done = true;
        return queries.get();
    }

    static void configure(Camera& cam, const Roi& roi, uint32_t pixel_format = 0xFFFFFFFF) {
        Configuration c;
        c.roi = roi;
        c.exposure_time_s = 0.0001;
        c.pixel_format = pixel_format;
        cam.setConfiguration(c);
    }
};

TEST_F(CameraConcurrencyTest, ColorModeBesideRecordsOfTwoRegionsIsThatOfOneOfThem) {
    // With ROI steps of one pixel the two regions start on different Bayer phases in both
    // directions: a region mixed from the two would give one of the two other phases.
    loadCamera("color", R"({"description": {"wRoiHorStepsDESC": 1, "wRoiVertStepsDESC": 1}})");
    Camera cam(-1, -1);
    const Roi a{1, 1, 64, 64}, b{2, 2, 65, 65};
    const Roi corner{1, 1, 8, 8};
    configure(cam, a);
    cam.record(1, RecordMode::sequence, {}, 0);
    const uint32_t mode_a = cam.calculateColorMode(corner);
    configure(cam, b);
    cam.record(1, RecordMode::sequence, {}, 0);
    const uint32_t mode_b = cam.calculateColorMode(corner);
    ASSERT_NE(mode_a, mode_b);

    std::set<uint32_t> seen;
    const int queries = beside(
        60,
        [&](int i) {
            configure(cam, i % 2 ? a : b);
            cam.record(1, RecordMode::sequence, {}, 0);
        },
        [&] { seen.insert(cam.calculateColorMode(corner)); });
    EXPECT_GT(queries, 0);
    for (uint32_t mode : seen) EXPECT_TRUE(mode == mode_a || mode == mode_b) << mode;
}

TEST_F(CameraConcurrencyTest, RawFormatBesideRecordsOfTwoPixelFormatsIsThatOfOneOfThem) {
    // The colour camera delivers 8-bit pixels with pixel format flag 16, else 16-bit words.
    loadCamera("color");
    Camera cam(-1, -1);
    const Roi roi{1, 1, 64, 64};
    std::set<RawFormat> seen;
    std::atomic<int> failures{0};
    beside(
        60,
        [&](int i) {
            configure(cam, roi, i % 2 ? 16 : 4);
            cam.record(1, RecordMode::sequence, {}, 0);
        },
        [&] {
            if (qortest::codeOf([&] { seen.insert(cam.getRawFormat()); }) != 0) ++failures;
        });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(seen, (std::set<RawFormat>{RawFormat::Byte, RawFormat::Word}));
}

TEST_F(CameraConcurrencyTest, RecorderQueriesBesideRecordsAndCamRamSwitchesAnswerOrFailCleanly) {
    // The mono camera's RAM read-out and PC-memory recordings replace each other's recorder while
    // the counts, the RAM queries and the running state are read.
    loadCamera("mono", R"({"camram": {"pages": 100, "segments": [100, 0, 0, 0]}})");
    Camera cam(-1, -1);
    configure(cam, Roi{1, 1, 64, 16});
    std::atomic<uint64_t> answers{0};
    beside(
        40,
        [&](int i) {
            if (i % 2)
                cam.switchToCamRam(1);
            else
                cam.record(2, RecordMode::sequence, {}, 0);
        },
        [&] {
            uint64_t sum = cam.getRecordedImageCount() + cam.getRecorderBufferSize() + cam.getCamRamNumImages() +
                           cam.getCamRamMaxImages() + (cam.isRecording() ? 1 : 0);
            answers += sum > 0 ? 1 : 0;
        });
    EXPECT_GT(answers, 0u);
}

TEST_F(CameraConcurrencyTest, ConversionSettingsReadBesideChangesNeverUndoAChange) {
    // Reading the settings refreshes them from the converter's display record; a read that falls
    // between a change's new settings and their hand-over to the converter must not write the old
    // values back over the new ones. On the colour camera a change also clamps the colour limits,
    // which widens that gap.
    loadCamera("color");
    Camera cam(-1, -1);
    qor::ConvertControlColor control;
    control.auto_minmax = false;
    auto contrastNow = [&] {
        return std::get<qor::ConvertControlColor>(cam.getConvertControl(qor::DataFormat::BGR8)).contrast;
    };
    int undone = 0;
    beside(
        5000,
        [&](int i) {
            control.contrast = i % 2 ? 40 : -40;
            cam.setConvertControl(qor::DataFormat::BGR8, control);
            if (contrastNow() != control.contrast) ++undone;
        },
        [&] { cam.getConvertControl(qor::DataFormat::BGR8); });
    EXPECT_EQ(undone, 0);
}

TEST_F(CameraConcurrencyTest, AutoExposureSwitchedWhileTheRecorderTakesImages) {
    // The recorder's thread looks at the auto-exposure switch for every image it takes.
    loadCamera("mono");
    Camera cam(-1, -1);
    configure(cam, Roi{1, 1, 64, 16});
    cam.record(10, RecordMode::ring_buffer, {}, 0);
    const uint32_t before = cam.getRecordedImageCount();
    for (int i = 0; i < 200; ++i) {
        if (i % 2)
            cam.autoExposureOff();
        else
            cam.autoExposureOn();
    }
    ASSERT_TRUE(qortest::waitUntil([&] { return cam.getRecordedImageCount() > before + 2; }));
    EXPECT_TRUE(cam.isRecording());
    cam.stop();
}

}  // namespace
