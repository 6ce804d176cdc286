#pragma once

// Value types of the camera library: enumerations, the configuration and description records,
// the conversion settings, and the byte layouts of the SDK records they are exchanged in.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <variant>
#include <vector>

#include "camera/vendor/qor_camsys.h"
#include "camera/vendor/qor_convert.h"
#include "camera/vendor/qor_recorder.h"

namespace qor {

enum class DataFormat : int32_t {
    Undefined = 0,
    Mono8 = 1,
    Mono16 = 2,
    BGR8 = 3,
    BGRA8 = 4,
    RGB8 = 5,
    RGBA8 = 6,
    RGB16 = 7,
    BGR16 = 8,
    CompressedMono8 = 9
};

enum class RawFormat : int32_t { Word = 0, Byte = 1 };

enum class RecordMode : int32_t {
    sequence = 0,
    sequence_non_blocking = 1,
    ring_buffer = 2,
    fifo = 3,
    tif = 4,
    multitif = 5,
    qorraw = 6,
    b16 = 7,
    dicom = 8,
    multidicom = 9,
    camram_ring = 10,
    camram_segment = 11
};

enum class InterfaceType : uint16_t {
    FireWire = 1,
    CameraLinkMTX = 2,
    GenICam = 3,
    CameraLinkNAT = 4,
    GigE = 5,
    USB = 6,
    CameraLinkME4 = 7,
    USB3 = 8,
    WLAN = 9,
    CLHS = 11,
    CLHS_HSR = 16,
    Any = 0xFFFF
};

enum class SignalPolarity : uint16_t { high_level = 1, low_level = 2, rising_edge = 4, falling_edge = 8 };

enum class SignalType : int32_t { status_busy = 0, status_expos = 1, status_line = 2, status_armed = 3 };

enum class SignalTiming : int32_t { undefined = 0, first_line = 1, global = 2, last_line = 3, all_lines = 4 };

enum class BinningMode : int32_t { sum = 0, average = 1 };

enum class RegionType : int32_t { balanced = 0, center_based = 1, corner_based = 2, full = 3 };

/// Region of interest or crop: first column, first row, last column, last row.
struct Roi {
    int64_t x0 = -1;
    int64_t y0 = -1;
    int64_t x1 = -1;
    int64_t y1 = -1;
    bool operator==(const Roi&) const = default;
};

struct Binning {
    uint16_t vert = 0xFFFF;
    uint16_t horz = 0xFFFF;
    BinningMode mode = BinningMode::sum;
    bool operator==(const Binning&) const = default;
};

struct AutoExposure {
    RegionType region = RegionType::balanced;
    double min_exposure_s = 0.001;
    double max_exposure_s = 0.1;
};

/// Camera acquisition settings; NaN and all-ones mark a field as unspecified.
struct Configuration {
    double exposure_time_s = std::numeric_limits<double>::quiet_NaN();
    double delay_time_s = std::numeric_limits<double>::quiet_NaN();
    Roi roi;
    int16_t timestamp_mode = -1;
    int32_t pixelrate = -1;
    double conversion_factor = std::numeric_limits<double>::quiet_NaN();
    int16_t trigger_mode = -1;
    int16_t acquire_mode = -1;
    int32_t acquire_sequence_number = -1;
    int16_t metadata_mode = -1;
    int16_t noise_filter_mode = -1;
    uint32_t pixel_format = 0xFFFFFFFF;
    Binning binning;
    AutoExposure auto_exposure;
};

/// Camera capabilities as the library reports them.
struct Description {
    uint32_t serial = 0xFFFFFFFF;
    uint16_t type = 0;
    uint16_t sub_type = 0;
    uint16_t interface_type = 0xFFFF;
    double min_exposure_time_s = std::numeric_limits<double>::quiet_NaN();
    double max_exposure_time_s = std::numeric_limits<double>::quiet_NaN();
    double min_exposure_step_s = std::numeric_limits<double>::quiet_NaN();
    double min_delay_time_s = std::numeric_limits<double>::quiet_NaN();
    double max_delay_time_s = std::numeric_limits<double>::quiet_NaN();
    double min_delay_step_s = std::numeric_limits<double>::quiet_NaN();
    uint64_t min_width = static_cast<uint64_t>(-1);
    uint64_t min_height = static_cast<uint64_t>(-1);
    uint64_t max_width = static_cast<uint64_t>(-1);
    uint64_t max_height = static_cast<uint64_t>(-1);
    uint64_t roi_step_horz = static_cast<uint64_t>(-1);
    uint64_t roi_step_vert = static_cast<uint64_t>(-1);
    bool roi_symmetric_horz = false;
    bool roi_symmetric_vert = false;
    uint16_t bit_resolution = 0xFFFF;
    bool has_timestamp_mode = false;
    bool has_timestamp_mode_ascii_only = false;
    std::vector<uint32_t> pixelrate_vec;
    std::vector<double> conversion_factor_vec;
    bool has_trigger_mode_extexpctrl = false;
    bool has_acquire_mode = false;
    bool has_ext_acquire_mode = false;
    bool has_metadata_mode = false;
    bool has_ram = false;
    std::vector<uint16_t> binning_horz_vec;
    std::vector<uint16_t> binning_vert_vec;
    bool has_average_binning = false;
    std::vector<uint32_t> pixel_format_vec;
    bool is_colored = false;
};

/// Conversion settings shared by all three alternatives.
struct ConvertControlCommon {
    bool sharpen = true;
    bool adaptive_sharpen = true;
    bool flip_vertical = true;
    bool auto_minmax = true;
    int32_t add_conv_flags = 0;
    int32_t min_limit = 0;
    int32_t max_limit = 20000;
    double gamma = 1.0;
    int32_t contrast = 0;
};

struct ConvertControlMono : ConvertControlCommon {};

struct ConvertControlColor : ConvertControlCommon {
    bool qor_debayer_algorithm = false;
    int32_t color_temperature = 6500;
    int32_t color_saturation = 0;
    int32_t color_vibrance = 0;
    int32_t color_tint = 0;
};

struct ConvertControlPseudoColor : ConvertControlCommon {
    int32_t color_temperature = 6500;
    int32_t color_saturation = 0;
    int32_t color_vibrance = 0;
    int32_t color_tint = 0;
    std::filesystem::path lut_file;
};

/// Alternative index: 0 mono, 1 color, 2 pseudocolor.
using ConvertControl = std::variant<ConvertControlMono, ConvertControlColor, ConvertControlPseudoColor>;

using SensorInfo = QOR_SensorInfo;
using CompressionParams = QOR_CompressionParams;

/// The noise model the compressed copy uses unless a caller gives its own.
inline CompressionParams defaultCompressionParams() {
    return CompressionParams{50.0 / 23.0, 1.5, 0.3, 0.34, 0.0};
}

// Capability bits of the description record.
namespace caps1 {
inline constexpr uint32_t kNoiseFilter = 0x00000001;
inline constexpr uint32_t kTimestampAsciiOnly = 0x00000008;
inline constexpr uint32_t kNoExtExposureControl = 0x00000080;
inline constexpr uint32_t kNoTimestamp = 0x00000100;
inline constexpr uint32_t kNoAcquireMode = 0x00000200;
inline constexpr uint32_t kNoCamRam = 0x00001000;
inline constexpr uint32_t kMetadata = 0x00004000;
inline constexpr uint32_t kColorMatrix = 0x00020000;
inline constexpr uint32_t kExtAcquireMode = 0x00200000;
inline constexpr uint32_t kRoiSymmetricVert = 0x00800000;
inline constexpr uint32_t kRoiSymmetricHorz = 0x01000000;
inline constexpr uint32_t kExtendedDescription = 0x10000000;
inline constexpr uint32_t kHwioDescriptors = 0x40000000;
}  // namespace caps1
namespace caps3 {
inline constexpr uint32_t kAverageBinning = 0x00004000;
inline constexpr uint32_t kPixelFormatSetup = 0x00020000;
}  // namespace caps3

/// Pixel-format flag of a dynamic resolution; throws "Unknown dynamic resolution: " for others.
uint32_t pixelFormatFlag(uint32_t bit_resolution);

// Byte layouts of the SDK records.
static_assert(sizeof(QOR_Description) == 436);
static_assert(offsetof(QOR_Description, dwPixelRateDESC) == 32);
static_assert(offsetof(QOR_Description, ZZdwDummypr) == 48);
static_assert(offsetof(QOR_Description, wConvFactDESC) == 128);
static_assert(offsetof(QOR_Description, sCoolingSetpoints) == 136);
static_assert(offsetof(QOR_Description, ZZwDummycv) == 156);
static_assert(offsetof(QOR_Description, wSoftRoiHorStepsDESC) == 172);
static_assert(offsetof(QOR_Description, wIRDESC) == 176);
static_assert(offsetof(QOR_Description, dwMinDelayDESC) == 180);
static_assert(offsetof(QOR_Description, dwMinExposureDESC) == 192);
static_assert(offsetof(QOR_Description, dwMaxExposureIRDESC) == 216);
static_assert(offsetof(QOR_Description, wTimeTableDESC) == 220);
static_assert(offsetof(QOR_Description, wColorPatternDESC) == 234);
static_assert(offsetof(QOR_Description, wNumCoolingSetpoints) == 242);
static_assert(offsetof(QOR_Description, dwGeneralCapsDESC1) == 244);
static_assert(offsetof(QOR_Description, dwExtSyncFrequency) == 252);
static_assert(offsetof(QOR_Description, dwGeneralCapsDESC3) == 268);
static_assert(offsetof(QOR_Description, ZZdwDummy) == 276);
static_assert(sizeof(QOR_DescriptionEx3) == 192);
static_assert(offsetof(QOR_DescriptionEx3, wMinSizeHorzStdDESC) == 20);
static_assert(offsetof(QOR_DescriptionEx3, wMinSizeHorzExtDESC) == 24);
static_assert(sizeof(QOR_CameraType) == 1364);
static_assert(offsetof(QOR_CameraType, wCamType) == 2);
static_assert(offsetof(QOR_CameraType, wCamSubType) == 4);
static_assert(offsetof(QOR_CameraType, dwSerialNumber) == 8);
static_assert(sizeof(QOR_DeviceEntry) == 164);
static_assert(offsetof(QOR_DeviceEntry, dwStateFlags) == 10);
static_assert(offsetof(QOR_DeviceEntry, wDeviceNumber) == 14);
static_assert(offsetof(QOR_DeviceEntry, dwSerialNumber) == 18);
static_assert(offsetof(QOR_DeviceEntry, wInterfaceType) == 34);
static_assert(sizeof(QOR_Signal) == 60);
static_assert(offsetof(QOR_Signal, wEnabled) == 4);
static_assert(offsetof(QOR_Signal, wPolarity) == 8);
static_assert(offsetof(QOR_Signal, wSelected) == 12);
static_assert(offsetof(QOR_Signal, dwParameter) == 16);
static_assert(offsetof(QOR_Signal, dwSignalFunctionality) == 32);
static_assert(sizeof(QOR_SignalDescriptor) == 200);
static_assert(offsetof(QOR_SignalDescriptor, strSignalName) == 4);
static_assert(sizeof(QOR_SensorInfo) == 264);
static_assert(offsetof(QOR_SensorInfo, iDarkOffset) == 16);
static_assert(offsetof(QOR_SensorInfo, wIMAGE_SIZE_X_Offset) == 20);
static_assert(offsetof(QOR_SensorInfo, strColorCoeff) == 24);
static_assert(offsetof(QOR_SensorInfo, iCamNum) == 96);
static_assert(offsetof(QOR_SensorInfo, hCamera) == 104);
static_assert(offsetof(QOR_SensorInfo, dwzzDummy1) == 112);
static_assert(sizeof(QOR_Metadata) == 69);
static_assert(offsetof(QOR_Metadata, dwCAMERA_SERIAL_NO) == 42);
static_assert(offsetof(QOR_Metadata, bREADOUT_MODE) == 68);
static_assert(sizeof(QOR_Timestamp) == 22);
static_assert(offsetof(QOR_Timestamp, dwImgCounter) == 2);
static_assert(offsetof(QOR_Timestamp, dwMicroSeconds) == 18);
static_assert(sizeof(QOR_Display) == 264);
static_assert(offsetof(QOR_Display, iScale_min) == 8);
static_assert(offsetof(QOR_Display, iGamma) == 36);

}  // namespace qor
