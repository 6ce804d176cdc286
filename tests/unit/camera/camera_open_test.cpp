// Opening cameras, identity, description and sensor information.
#include <gtest/gtest.h>

#include <functional>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "camera/camera.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qortest::codeOf;

using qor::Camera;
using qor::CameraException;
using qortest::SimTest;

class CameraOpenTest : public SimTest {};


TEST_F(CameraOpenTest, ScanWithZeroCamerasThrowsNoCameraWithoutOpening) {
    loadDevices(R"({"cameras": []})");
    EXPECT_EQ(codeOf([] { Camera cam(-1, -1); }), qor::errc::kNoCamera);
    EXPECT_EQ(qorsim::callCount("QOR_OpenCameraDevice"), 0);
}

TEST_F(CameraOpenTest, TwoDefaultCamerasOpenInTurnAndAThirdOpenThrows) {
    Camera first(-1, -1);
    Camera second(-1, -1);
    EXPECT_EQ(first.getSerial(), 10001u);
    EXPECT_EQ(first.getName(), "SimCam Mono");
    EXPECT_EQ(second.getSerial(), 10002u);
    EXPECT_EQ(second.getName(), "SimCam Color");

    qor::Description d1 = first.getDescription();
    EXPECT_EQ(d1.max_width, 2048u);
    EXPECT_EQ(d1.bit_resolution, 16);
    EXPECT_FALSE(d1.is_colored);
    qor::Description d2 = second.getDescription();
    EXPECT_EQ(d2.max_width, 1920u);
    EXPECT_TRUE(d2.is_colored);

    qor::Configuration config = first.getConfiguration();
    EXPECT_EQ(config.roi, (qor::Roi{1, 1, 2048, 2048}));
    qor::Configuration change;
    change.exposure_time_s = 0.02;
    change.roi = qor::Roi{1, 1, 512, 256};
    first.setConfiguration(change);
    config = first.getConfiguration();
    EXPECT_DOUBLE_EQ(config.exposure_time_s, 0.02);
    EXPECT_EQ(config.roi, (qor::Roi{1, 1, 512, 256}));
    EXPECT_FALSE(std::isnan(second.getConfiguration().exposure_time_s));

    EXPECT_THROW(Camera third(-1, -1), CameraException);
}

TEST_F(CameraOpenTest, AnySelectorSkipsAnEntryThatFailsToOpen) {
    qorsim::failNext("QOR_OpenCameraDevice", static_cast<int32_t>(0x80140003));
    Camera cam(-1, -1);
    EXPECT_EQ(cam.getSerial(), 10002u);
}

TEST_F(CameraOpenTest, EntryMarkedInUseIsNeverOpenedByTheAnySelector) {
    loadDevices(R"({"cameras": [{"serial": 1, "state_flags": 5}, {"serial": 2}]})");
    Camera cam(-1, -1);
    EXPECT_EQ(cam.getSerial(), 2u);
    EXPECT_EQ(qorsim::callCount("QOR_OpenCameraDevice"), 1);
}

TEST_F(CameraOpenTest, SerialSelectorOpensThatCameraOrThrowsNoCamera) {
    Camera cam(-1, 10002);
    EXPECT_EQ(cam.getName(), "SimCam Color");
    EXPECT_EQ(codeOf([] { Camera other(-1, 55555); }), qor::errc::kNoCamera);
    // The selected camera is in use: its open status is thrown, the other camera is not tried.
    EXPECT_EQ(codeOf([] { Camera again(-1, 10002); }), static_cast<int32_t>(0x80140003));
}

TEST_F(CameraOpenTest, CameraOpenInAnotherProcessIsInUseUntilThatProcessEnds) {
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t child = ::fork();
    if (child == 0) {
        char byte = 'x';
        try {
            Camera held(-1, 10001);
            byte = 'r';
            ssize_t w = ::write(ready[1], &byte, 1);
            ssize_t r = ::read(release[0], &byte, 1);  // hold the camera until the parent ends us
            (void)w;
            (void)r;
        } catch (...) {
            ssize_t w = ::write(ready[1], &byte, 1);
            (void)w;
        }
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'r');
    {
        Camera cam(-1, -1);  // the held camera is skipped
        EXPECT_EQ(cam.getSerial(), 10002u);
    }
    EXPECT_THROW(Camera again(-1, 10001), CameraException);
    ::kill(child, SIGKILL);  // the holder dies without closing: its lock goes with it
    ::waitpid(child, nullptr, 0);
    Camera now(-1, 10001);
    EXPECT_EQ(now.getSerial(), 10001u);
    ::close(ready[0]);
    ::close(ready[1]);
    ::close(release[0]);
    ::close(release[1]);
}

TEST_F(CameraOpenTest, InterfaceSelectorLimitsTheScan) {
    Camera cam(5, -1);  // GigE: only the colour camera
    EXPECT_EQ(cam.getSerial(), 10002u);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_ScanCameras").at(0), 5);
}

class CameraInterfaceTest : public SimTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(CameraInterfaceTest, ReportsTheInterfaceOfTheEntry) {
    auto [reported, expected] = GetParam();
    loadCamera("mono", R"({"interface": )" + std::to_string(reported) + "}");
    Camera cam(-1, -1);
    EXPECT_EQ(cam.getInterface(), expected);
    EXPECT_EQ(cam.getDescription().interface_type, expected);
}

INSTANTIATE_TEST_SUITE_P(Interfaces, CameraInterfaceTest,
                         ::testing::Values(std::pair{12, 11}, std::pair{13, 11}, std::pair{11, 11}, std::pair{8, 8},
                                           std::pair{16, 16}));

TEST_F(CameraOpenTest, FailedConstructionAfterOpenReleasesTheDevice) {
    qorsim::failNext("QOR_ArmCamera", static_cast<int32_t>(0x80140007));
    EXPECT_THROW(Camera cam(-1, 10001), CameraException);
    EXPECT_EQ(qorsim::callCount("QOR_CloseCamera"), 1);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertDelete"), qorsim::callCount("QOR_ConvertCreate"));
    Camera again(-1, 10001);  // not left in use
    EXPECT_EQ(again.getSerial(), 10001u);
}

TEST_F(CameraOpenTest, FailingCallsDuringConstructionAreThrownWithTheirStatus) {
    for (const char* call : {"QOR_GetCameraDescription", "QOR_GetCameraType", "QOR_GetCameraName",
                             "QOR_ConvertCreate", "QOR_GetBitAlignment", "QOR_GetSensorDarkOffset",
                             "QOR_ResetSettingsToDefault", "QOR_ScanCameras"}) {
        SCOPED_TRACE(call);
        qorsim::failNext(call, static_cast<int32_t>(0x80140007));
        EXPECT_EQ(codeOf([] { Camera cam(-1, 10001); }), static_cast<int32_t>(0x80140007));
        qorsim::clearFaults();
        Camera ok(-1, 10001);
    }
}

TEST_F(CameraOpenTest, ConvertersAreCreatedPerFormatAndSharedHandlesDeletedOnce) {
    {
        Camera mono(-1, 10001);
        EXPECT_EQ(qorsim::callCount("QOR_ConvertCreate"), 2);  // Mono8, and BGR8 shared by the 8-bit formats
    }
    EXPECT_EQ(qorsim::callCount("QOR_ConvertDelete"), 2);
    qorsim::clearCalls();
    {
        Camera color(-1, 10002);
        EXPECT_EQ(qorsim::callCount("QOR_ConvertCreate"), 3);  // Mono8, BGR8, BGR16
    }
    EXPECT_EQ(qorsim::callCount("QOR_ConvertDelete"), 3);
}

TEST_F(CameraOpenTest, MonoCameraHasNoSixteenBitColourSettings) {
    Camera mono(-1, 10001);
    for (auto format : {qor::DataFormat::BGR16, qor::DataFormat::RGB16})
        EXPECT_EQ(codeOf([&] { mono.getConvertControl(format); }), qor::errc::kInvalidArgument);
    EXPECT_TRUE(std::holds_alternative<qor::ConvertControlPseudoColor>(mono.getConvertControl(qor::DataFormat::BGR8)));
    Camera color(-1, 10002);
    EXPECT_TRUE(std::holds_alternative<qor::ConvertControlColor>(color.getConvertControl(qor::DataFormat::RGB16)));
}

TEST_F(CameraOpenTest, CloseFailuresArePrintedNotThrown) {
    auto cam = std::make_unique<Camera>(-1, 10001);
    qorsim::failNext("QOR_CloseCamera", static_cast<int32_t>(0x80140002));
    testing::internal::CaptureStdout();
    cam.reset();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Close with error: Invalid camera handle\n"),
              std::string::npos);
}

class CameraDescriptionTest : public SimTest {};

TEST_F(CameraDescriptionTest, BinningFactorsFollowTheStepping) {
    loadCamera("mono", R"({"description": {"wMaxBinHorzDESC": 4, "wBinHorzSteppingDESC": 2,
                                           "wMaxBinVertDESC": 4, "wBinVertSteppingDESC": 1}})");
    Camera cam(-1, -1);
    qor::Description d = cam.getDescription();
    EXPECT_EQ(d.binning_horz_vec, (std::vector<uint16_t>{1, 2, 4}));
    EXPECT_EQ(d.binning_vert_vec, (std::vector<uint16_t>{1, 2, 3, 4}));
}

TEST_F(CameraDescriptionTest, RateAndFactorListsStopAtTheFirstZero) {
    loadCamera("mono", R"({"description": {"dwPixelRateDESC": [100000000, 0, 300000000, 0],
                                           "wConvFactDESC": [125, 0, 150, 0]}})");
    Camera cam(-1, -1);
    qor::Description d = cam.getDescription();
    EXPECT_EQ(d.pixelrate_vec, (std::vector<uint32_t>{100000000}));
    EXPECT_EQ(d.conversion_factor_vec, (std::vector<double>{1.25}));
}

TEST_F(CameraDescriptionTest, TimesAndSizesAreConvertedFromTheRecord) {
    Camera cam(-1, 10001);
    qor::Description d = cam.getDescription();
    EXPECT_DOUBLE_EQ(d.min_exposure_time_s, 10000 / 1e9);
    EXPECT_DOUBLE_EQ(d.max_exposure_time_s, 10000 / 1e3);
    EXPECT_DOUBLE_EQ(d.min_exposure_step_s, 10 / 1e9);
    EXPECT_DOUBLE_EQ(d.max_delay_time_s, 1.0);
    EXPECT_EQ(d.min_width, 64u);
    EXPECT_EQ(d.min_height, 16u);
    EXPECT_EQ(d.roi_step_horz, 4u);
    EXPECT_TRUE(d.has_timestamp_mode);
    EXPECT_TRUE(d.has_metadata_mode);
    EXPECT_TRUE(d.has_ram);
    EXPECT_TRUE(d.has_ext_acquire_mode);
    EXPECT_TRUE(d.has_average_binning);
    EXPECT_EQ(d.serial, 10001u);
    EXPECT_EQ(d.type, 2561);
}

TEST_F(CameraDescriptionTest, IrSensitivityReplacesTheTimeLimits) {
    loadCamera("mono", R"({"description": {"wIRDESC": 1, "dwMinExposureIRDESC": 50000, "dwMaxExposureIRDESC": 500,
                                           "dwMinDelayIRDESC": 100, "dwMaxDelayIRDESC": 20},
                           "sensor": {"ir_sensitivity": 1}, "defaults": {"delay_ns": 100}})");
    Camera cam(-1, -1);
    qor::Description d = cam.getDescription();
    EXPECT_DOUBLE_EQ(d.min_exposure_time_s, 50000 / 1e9);
    EXPECT_DOUBLE_EQ(d.max_exposure_time_s, 0.5);
    EXPECT_DOUBLE_EQ(d.min_delay_time_s, 100 / 1e9);
    EXPECT_DOUBLE_EQ(d.max_delay_time_s, 0.02);
    EXPECT_DOUBLE_EQ(d.min_exposure_step_s, 10 / 1e9);
}

TEST_F(CameraDescriptionTest, MinimumSizeComesFromTheRecordWithoutExtendedDescription) {
    loadCamera("mono", R"({"description": {"dwGeneralCapsDESC1": 16385, "wMinSizeHorzDESC": 96,
                                           "wMinSizeVertDESC": 48}})");
    Camera cam(-1, -1);
    qor::Description d = cam.getDescription();
    EXPECT_EQ(d.min_width, 96u);
    EXPECT_EQ(d.min_height, 48u);
    EXPECT_EQ(qorsim::callCount("QOR_GetCameraDescriptionEx"), 0);
}

TEST_F(CameraDescriptionTest, PixelFormatFlagsFromSetupOrResolution) {
    Camera mono(-1, 10001);
    EXPECT_EQ(mono.getDescription().pixel_format_vec, (std::vector<uint32_t>{1}));
    EXPECT_EQ(mono.getRawFormat(), qor::RawFormat::Word);
    Camera color(-1, 10002);
    EXPECT_EQ(color.getDescription().pixel_format_vec, (std::vector<uint32_t>{4, 16}));
    EXPECT_EQ(color.getRawFormat(), qor::RawFormat::Word);
}

TEST_F(CameraDescriptionTest, EightBitCameraReportsByteRawFormat) {
    loadCamera("mono", R"({"description": {"wDynResDESC": 8}})");
    Camera cam(-1, -1);
    EXPECT_EQ(cam.getRawFormat(), qor::RawFormat::Byte);
    EXPECT_EQ(cam.getDescription().pixel_format_vec, (std::vector<uint32_t>{16}));
}

TEST_F(CameraDescriptionTest, UnknownDynamicResolutionIsRefused) {
    loadCamera("mono", R"({"description": {"wDynResDESC": 9}})");
    try {
        Camera cam(-1, -1);
        cam.getDescription();
        FAIL() << "expected an exception";
    } catch (const CameraException& e) {
        EXPECT_STREQ(e.what(), "qor::CameraException: Unknown dynamic resolution: 9");
        EXPECT_EQ(e.code(), qor::errc::kUnspecified);
    }
}

TEST_F(CameraDescriptionTest, SensorInfoCarriesAlignmentColourAndMatrix) {
    Camera color(-1, 10002);
    qor::SensorInfo info = color.getSensorInfo();
    EXPECT_EQ(info.wSize, 264);
    EXPECT_EQ(info.iDataBits, 12);
    EXPECT_EQ(info.iDarkOffset, 64);
    EXPECT_EQ(info.iSensorInfoBits, 0x1);  // colour, LSB aligned after the defaults
    EXPECT_DOUBLE_EQ(info.strColorCoeff.da11, 1.6);
    EXPECT_EQ(info.hCamera, color.handle());
    Camera mono(-1, 10001);
    qor::SensorInfo mono_info = mono.getSensorInfo();
    EXPECT_EQ(mono_info.iSensorInfoBits, 0);
    EXPECT_DOUBLE_EQ(mono_info.strColorCoeff.da22, 1.0);
    EXPECT_DOUBLE_EQ(mono_info.strColorCoeff.da12, 0.0);
}

TEST_F(CameraDescriptionTest, UnpluggedCameraFailsEveryCall) {
    Camera cam(-1, 10001);
    qorsim::unplug(10001);
    EXPECT_EQ(codeOf([&] { cam.getConfiguration(); }), static_cast<int32_t>(0x80140005));
    EXPECT_EQ(codeOf([&] { cam.getDescription(); }), static_cast<int32_t>(0x80140005));
}

}  // namespace
