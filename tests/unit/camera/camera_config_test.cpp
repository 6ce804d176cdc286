// Configuration, exposure and delay: what reaches the SDK, validation and read-back.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "camera/camera.h"
#include "camera/camera_time.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qortest::codeOf;
using qortest::messageOf;
using qortest::kMsg;

using qor::Camera;
using qor::CameraException;
using qor::Configuration;




class CameraConfigTest : public qortest::SimTest {
protected:
    std::unique_ptr<Camera> open(const std::string& tmpl = "mono", const std::string& overrides = "{}") {
        loadCamera(tmpl, overrides);
        auto cam = std::make_unique<Camera>(-1, -1);
        qorsim::clearCalls();
        return cam;
    }

    static int setterCalls() {
        int n = 0;
        for (const auto& call : qorsim::calls())
            if (call.name.rfind("QOR_Set", 0) == 0) ++n;
        return n;
    }
};

TEST(SdkTimeTest, BaseFollowsTheMagnitudeAndValuesTruncate) {
    struct Case {
        double seconds;
        uint32_t value;
        uint16_t base;
    };
    for (const Case& c : {Case{0.0039, 3900000, 0}, Case{0.004, 4000, 1}, Case{4.0, 4000, 2},
                          Case{0.0000099999, 9999, 0}, Case{3.9999999, 3999999, 1}, Case{10.0, 10000, 2}}) {
        SCOPED_TRACE(c.seconds);
        qor::SdkTime t = qor::toSdkTime(c.seconds);
        EXPECT_EQ(t.value, c.value);
        EXPECT_EQ(t.base, c.base);
    }
    EXPECT_DOUBLE_EQ(qor::fromSdkTime(4000, 1), 0.004);
    EXPECT_DOUBLE_EQ(qor::fromSdkTime(25, 2), 0.025);
}

TEST_F(CameraConfigTest, ExposureIsSentInTheBaseOfItsMagnitude) {
    auto cam = open();
    for (auto [seconds, value, base] : {std::tuple{0.0039, 3900000, 0}, std::tuple{0.004, 4000, 1},
                                        std::tuple{4.0, 4000, 2}}) {
        Configuration c;
        c.exposure_time_s = seconds;
        cam->setConfiguration(c);
        auto args = qorsim::lastCallArgs("QOR_SetDelayExposureTime");  // handle, delay, exposure, bases
        EXPECT_EQ(args.at(2), value);
        EXPECT_EQ(args.at(4), base);
        EXPECT_DOUBLE_EQ(cam->getExposureTime(), seconds);
    }
}

TEST_F(CameraConfigTest, ExposureMinimumAllowsOneStepBelow) {
    auto cam = open("mono", R"({"description": {"dwMinExposureDESC": 1000, "dwMinExposureStepDESC": 100}})");
    Configuration ok;
    ok.exposure_time_s = 950e-9;
    EXPECT_NO_THROW(cam->setConfiguration(ok));
    Configuration low;
    low.exposure_time_s = 850e-9;
    EXPECT_EQ(messageOf([&] { cam->setConfiguration(low); }),
              kMsg + "invalid exposure time: smaller than min limit or negative");
}

TEST_F(CameraConfigTest, TimeValidationMessages) {
    auto cam = open();
    struct Case {
        double exposure;
        double delay;
        const char* message;
    };
    for (const Case& c : {Case{-0.001, NAN, "invalid exposure time: smaller than min limit or negative"},
                          Case{11.0, NAN, "invalid exposure time: greater than max limit"},
                          Case{NAN, -1e-6, "invalid delay time: smaller than min limit or negative"},
                          Case{NAN, 1.5, "invalid delay time: greater than max limit"}}) {
        Configuration config;
        config.exposure_time_s = c.exposure;
        config.delay_time_s = c.delay;
        EXPECT_EQ(messageOf([&] { cam->setConfiguration(config); }), kMsg + c.message);
        EXPECT_EQ(codeOf([&] { cam->setConfiguration(config); }), qor::errc::kInvalidArgument);
    }
    EXPECT_EQ(messageOf([&] { cam->setExposureTime(NAN); }), kMsg + "invalid exposure time: NaN");
    EXPECT_EQ(messageOf([&] { cam->setDelayTime(NAN); }), kMsg + "invalid delay time: NaN");
    EXPECT_EQ(messageOf([&] { cam->setExposureTime(20.0); }), kMsg + "invalid exposure time: greater than max limit");
}

TEST_F(CameraConfigTest, DelayOnlyKeepsTheCurrentExposureUnchecked) {
    auto cam = open();
    Configuration c;
    c.delay_time_s = 0.5;
    cam->setConfiguration(c);
    auto args = qorsim::lastCallArgs("QOR_SetDelayExposureTime");
    EXPECT_EQ(args.at(1), 500000);  // 0.5 s in microseconds
    EXPECT_EQ(args.at(3), 1);
    EXPECT_EQ(args.at(2), 10000);  // the default exposure of 10 ms, as read
    EXPECT_DOUBLE_EQ(cam->getDelayTime(), 0.5);
}

TEST_F(CameraConfigTest, DefaultConfigurationRecordSendsNoSetting) {
    auto cam = open();
    cam->setConfiguration(Configuration{});
    EXPECT_EQ(setterCalls(), 0);
    EXPECT_EQ(qorsim::callCount("QOR_ArmCamera"), 1);
}

TEST_F(CameraConfigTest, AcquireSequenceWithoutCountFailsAfterEarlierSteps) {
    auto cam = open();
    Configuration c;
    c.trigger_mode = 1;
    c.acquire_mode = 4;
    try {
        cam->setConfiguration(c);
        FAIL();
    } catch (const CameraException& e) {
        EXPECT_STREQ(e.what(), "qor::CameraException: unspecified value for acquire_sequence_number.");
        EXPECT_EQ(e.code(), 0x00160000);
    }
    EXPECT_EQ(qorsim::callCount("QOR_SetAcquireModeEx"), 0);
    EXPECT_EQ(cam->getConfiguration().trigger_mode, 1);  // applied before the failure
    c.acquire_sequence_number = 25;
    cam->setConfiguration(c);
    Configuration back = cam->getConfiguration();
    EXPECT_EQ(back.acquire_mode, 4);
    EXPECT_EQ(back.acquire_sequence_number, 25);
}

TEST_F(CameraConfigTest, BinningKeepsTheUnspecifiedFactorAndMarksAverage) {
    auto cam = open();
    Configuration first;
    first.binning = qor::Binning{1, 4, qor::BinningMode::sum};
    first.roi = qor::Roi{1, 1, 512, 2048};
    cam->setConfiguration(first);
    Configuration c;
    c.binning = qor::Binning{2, 0xFFFF, qor::BinningMode::average};
    c.roi = qor::Roi{1, 1, 512, 1024};
    cam->setConfiguration(c);
    auto args = qorsim::lastCallArgs("QOR_SetBinning");
    EXPECT_EQ(args.at(1), 0x1004);
    EXPECT_EQ(args.at(2), 0x1002);
    Configuration back = cam->getConfiguration();
    EXPECT_EQ(back.binning, (qor::Binning{2, 4, qor::BinningMode::average}));
}

TEST_F(CameraConfigTest, ConversionFactorRangeAndRounding) {
    auto cam = open("mono", R"({"description": {"wConvFactDESC": [13, 100, 0, 0]}})");
    Configuration c;
    c.conversion_factor = 0.125;
    cam->setConfiguration(c);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_SetConversionFactor").at(1), 13);
    EXPECT_DOUBLE_EQ(cam->getConfiguration().conversion_factor, 0.13);
    for (double bad : {70000.0, -0.5, 655.36, 1000.0}) {
        c.conversion_factor = bad;
        EXPECT_EQ(messageOf([&] { cam->setConfiguration(c); }), kMsg + "conversion_factor is out of range") << bad;
    }
}

TEST_F(CameraConfigTest, PixelRateAcceptsOnlyZeroOrTheRateChangedStatus) {
    auto cam = open();
    Configuration c;
    c.pixelrate = 300000000;
    qorsim::failNext("QOR_SetPixelRate", static_cast<int32_t>(0x80001020));
    EXPECT_NO_THROW(cam->setConfiguration(c));
    qorsim::failNext("QOR_SetPixelRate", static_cast<int32_t>(0x40000001));  // a warning is not enough here
    EXPECT_EQ(codeOf([&] { cam->setConfiguration(c); }), static_cast<int32_t>(0x40000001));
    cam->setConfiguration(c);
    EXPECT_EQ(cam->getConfiguration().pixelrate, 300000000);
}

TEST_F(CameraConfigTest, FailedRateReadsGiveZero) {
    auto cam = open();
    qorsim::failNext("QOR_GetPixelRate", static_cast<int32_t>(0x80140007));
    qorsim::failNext("QOR_GetConversionFactor", static_cast<int32_t>(0x80140007));
    Configuration c = cam->getConfiguration();
    EXPECT_EQ(c.pixelrate, 0);
    EXPECT_EQ(c.conversion_factor, 0.0);
    qorsim::failNext("QOR_GetTriggerMode", static_cast<int32_t>(0x80140007));
    EXPECT_EQ(codeOf([&] { cam->getConfiguration(); }), static_cast<int32_t>(0x80140007));
}

TEST_F(CameraConfigTest, ReadBackOfCapabilityDependentFields) {
    auto mono = open();
    Configuration m = mono->getConfiguration();
    EXPECT_EQ(m.timestamp_mode, 0);
    EXPECT_EQ(m.metadata_mode, 1);  // switched on by the defaults
    EXPECT_EQ(m.noise_filter_mode, 0);
    EXPECT_EQ(m.acquire_sequence_number, -1);
    EXPECT_EQ(m.pixel_format, 1u);
    mono.reset();
    auto color = open("color");
    Configuration c = color->getConfiguration();
    EXPECT_EQ(c.metadata_mode, 0);       // no metadata on this camera
    EXPECT_EQ(c.noise_filter_mode, -1);  // no noise filter
    EXPECT_EQ(c.pixel_format, 4u);       // from the setup word
}

TEST_F(CameraConfigTest, PixelFormatThroughSetupOrResolution) {
    auto color = open("color");
    Configuration c;
    c.pixel_format = 16;
    color->setConfiguration(c);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_SetCameraSetup").at(2), 16);
    EXPECT_EQ(color->getRawFormat(), qor::RawFormat::Byte);
    c.pixel_format = 2;
    EXPECT_EQ(messageOf([&] { color->setConfiguration(c); }), kMsg + "unsupported pixelformat flag: 2");
    color.reset();
    auto mono = open();
    c.pixel_format = 1;
    EXPECT_NO_THROW(mono->setConfiguration(c));
    c.pixel_format = 4;
    EXPECT_EQ(messageOf([&] { mono->setConfiguration(c); }), kMsg + "unsupported pixelformat flag: 4");
}

TEST_F(CameraConfigTest, RoiIsCheckedByTheCameraWhenArmed) {
    auto cam = open();
    Configuration c;
    c.roi = qor::Roi{3, 1, 100, 100};  // not on the 4-pixel grid
    EXPECT_EQ(codeOf([&] { cam->setConfiguration(c); }), static_cast<int32_t>(0x8014000B));
    c.roi = qor::Roi{1, 1, 2048, 2048};
    EXPECT_NO_THROW(cam->setConfiguration(c));
}

TEST_F(CameraConfigTest, ArmRereadsTheDescriptionWhenHealthAsks) {
    auto cam = open("mono", R"({"health_status": 1073741824})");
    cam->setConfiguration(Configuration{});
    EXPECT_EQ(qorsim::callCount("QOR_GetCameraDescription"), 1);
}

TEST_F(CameraConfigTest, DefaultConfigurationResetsSettingsAndPullsAutoExposureIntoRange) {
    auto cam = open("mono", R"({"description": {"dwMinExposureDESC": 5000000, "dwMinExposureStepDESC": 1000,
                                                "dwMaxExposureDESC": 50}})");
    Configuration c;
    c.exposure_time_s = 0.02;
    c.auto_exposure = qor::AutoExposure{qor::RegionType::full, 0.0001, 0.5};
    cam->setConfiguration(c);
    cam->defaultConfiguration();
    Configuration back = cam->getConfiguration();
    EXPECT_DOUBLE_EQ(back.exposure_time_s, 0.01);
    EXPECT_DOUBLE_EQ(back.auto_exposure.min_exposure_s, 5001000e-9);
    EXPECT_DOUBLE_EQ(back.auto_exposure.max_exposure_s, 0.05);
    EXPECT_EQ(back.auto_exposure.region, qor::RegionType::full);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_SetBitAlignment").at(1), 1);
}

TEST_F(CameraConfigTest, SdkFailuresOfEachSettingAreThrown) {
    auto cam = open();
    Configuration c;
    c.exposure_time_s = 0.01;
    c.roi = qor::Roi{1, 1, 2048, 2048};
    c.timestamp_mode = 1;
    c.trigger_mode = 0;
    c.acquire_mode = 0;
    c.metadata_mode = 1;
    c.noise_filter_mode = 1;
    c.binning = qor::Binning{1, 1, qor::BinningMode::sum};
    for (const char* call : {"QOR_SetDelayExposureTime", "QOR_SetROI", "QOR_SetTimestampMode", "QOR_SetTriggerMode",
                             "QOR_SetAcquireModeEx", "QOR_SetMetaDataMode", "QOR_SetNoiseFilterMode",
                             "QOR_SetBinning", "QOR_ArmCamera", "QOR_GetCameraHealthStatus"}) {
        qorsim::failNext(call, static_cast<int32_t>(0x80140007));
        EXPECT_EQ(codeOf([&] { cam->setConfiguration(c); }), static_cast<int32_t>(0x80140007)) << call;
    }
    EXPECT_NO_THROW(cam->setConfiguration(c));
}

}  // namespace
