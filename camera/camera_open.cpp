// Opening and closing a camera, its identity, description and sensor information.
#include <array>
#include <cstring>
#include <iostream>
#include <set>

#include "camera/camera.h"
#include "camera/camera_recorder.h"

namespace qor {
namespace {

constexpr uint16_t kMaxNameLength = 1024;

// Entries of the device list that an "any" open may take: available and not in use.
bool usable(const QOR_DeviceEntry& entry) {
    return (entry.dwStateFlags & QOR_DEVICE_AVAILABLE) != 0 && (entry.dwStateFlags & QOR_DEVICE_IN_USE) == 0;
}

}  // namespace

void printCloseStatus(int32_t status) {
    bool warning = status < 0 && (static_cast<uint32_t>(status) & sdk::kWarningBit) != 0;
    std::cout << "Close with " << (warning ? "warning" : "error") << ": " << CameraException(status).sdkErrorText()
              << "\n";
}

Camera::Camera(int16_t interface_selector, int32_t serial_selector) {
    description_.wSize = sizeof(QOR_Description);
    camera_type_.wSize = sizeof(QOR_CameraType);
    try {
        openDevice(interface_selector, serial_selector);
        QOR_Description desc{};
        desc.wSize = sizeof desc;
        sdk::check(QOR_GetCameraDescription(handle_, &desc));
        {
            std::lock_guard lock(state_mutex_);
            description_ = desc;
        }
        sdk::check(QOR_GetCameraType(handle_, &camera_type_));
        std::array<char, kMaxNameLength> name{};
        sdk::check(QOR_GetCameraName(handle_, name.data(), kMaxNameLength));
        name.back() = '\0';
        name_ = name.data();
        setUpConverters();
        defaultConfiguration();
    } catch (...) {
        // A half-opened camera must not stay in use: release what was already created.
        close();
        throw;
    }
}

Camera::~Camera() {
    if (RecorderPtr rec = recorder(); recorderRunning(rec)) QOR_RecorderStopRecord(rec->get(), handle_);
    close();
}

void Camera::openDevice(int16_t interface_selector, int32_t serial_selector) {
    uint16_t scan_interface = interface_selector == -1 ? 0 : static_cast<uint16_t>(interface_selector);
    uint32_t count = 0;
    int32_t status = QOR_ScanCameras(scan_interface, &count, nullptr, 0);
    if (status != 0) throw CameraException(status);
    if (count == 0) throw CameraException(errc::kNoCamera);
    std::vector<QOR_DeviceEntry> entries(count);
    status = QOR_ScanCameras(scan_interface, &count, entries.data(),
                             static_cast<uint32_t>(entries.size() * sizeof(QOR_DeviceEntry)));
    if (status != 0) throw CameraException(status);
    entries.resize(std::min<size_t>(count, entries.size()));

    const QOR_DeviceEntry* opened = nullptr;
    if (serial_selector == -1) {
        for (const auto& entry : entries) {
            if (!usable(entry)) continue;
            if (QOR_OpenCameraDevice(&handle_, entry.wDeviceNumber) == 0) {
                opened = &entry;
                break;
            }
            handle_ = nullptr;
        }
        // No entry opened: the description read that follows fails on the missing handle.
    } else {
        for (const auto& entry : entries) {
            if (entry.dwSerialNumber != static_cast<uint32_t>(serial_selector)) continue;
            status = QOR_OpenCameraDevice(&handle_, entry.wDeviceNumber);
            if (status != 0) {
                handle_ = nullptr;
                throw CameraException(status);
            }
            opened = &entry;
            break;
        }
        if (opened == nullptr) throw CameraException(errc::kNoCamera);
    }
    if (opened != nullptr) {
        uint16_t type = opened->wInterfaceType;
        interface_type_ = (type == 12 || type == 13) ? 11 : type;
    }
}

void Camera::setUpConverters() {
    const bool colored = isColored();
    // Every output format with its conversion settings and the conversion-library handle it uses:
    // a handle of its own of `kind`, or (kind 0) the handle of the format `shared`.
    struct Entry {
        DataFormat format;
        ConvertControl control;
        int kind;
        DataFormat shared;
    };
    std::vector<Entry> table;
    if (colored) {
        table = {{DataFormat::Mono8, ConvertControlMono{}, QOR_CONVERT_MONO, DataFormat::Undefined},
                 {DataFormat::BGR8, ConvertControlColor{}, QOR_CONVERT_COLOR, DataFormat::Undefined},
                 {DataFormat::BGR16, ConvertControlColor{}, QOR_CONVERT_COLOR16, DataFormat::Undefined},
                 {DataFormat::RGB8, ConvertControlColor{}, 0, DataFormat::BGR8},
                 {DataFormat::RGBA8, ConvertControlColor{}, 0, DataFormat::BGR8},
                 {DataFormat::BGRA8, ConvertControlColor{}, 0, DataFormat::BGR8},
                 {DataFormat::RGB16, ConvertControlColor{}, 0, DataFormat::BGR16}};
    } else {
        table = {{DataFormat::Mono8, ConvertControlMono{}, QOR_CONVERT_MONO, DataFormat::Undefined},
                 {DataFormat::BGR8, ConvertControlPseudoColor{}, QOR_CONVERT_PSEUDO, DataFormat::Undefined},
                 {DataFormat::RGB8, ConvertControlPseudoColor{}, 0, DataFormat::BGR8},
                 {DataFormat::RGBA8, ConvertControlPseudoColor{}, 0, DataFormat::BGR8},
                 {DataFormat::BGRA8, ConvertControlPseudoColor{}, 0, DataFormat::BGR8}};
    }
    for (const Entry& e : table) {
        convert_controls_[e.format] = e.control;
        auto_range_pending_[e.format] = true;
    }
    for (DataFormat f : {DataFormat::BGR8, DataFormat::BGRA8, DataFormat::RGB8, DataFormat::RGBA8}) clampColorLimits(f);

    SensorInfo info = getSensorInfo();
    for (const Entry& e : table) {
        if (e.kind == 0) {
            converters_[e.format] = converters_.at(e.shared);
        } else {
            QOR_CONVERTER handle = nullptr;
            sdk::check(QOR_ConvertCreate(&handle, &info, e.kind));
            converters_[e.format] = handle;
        }
        applyConvertControl(e.format);
    }
}

void Camera::close() noexcept {
    // Several formats share a handle: each handle is deleted once.
    std::set<QOR_CONVERTER> handles;
    for (const auto& entry : converters_) handles.insert(entry.second);
    for (QOR_CONVERTER handle : handles) {
        int32_t status = QOR_ConvertDelete(handle);
        if (status != 0) printCloseStatus(status);
    }
    converters_.clear();
    replaceRecorder(nullptr);
    if (handle_ != nullptr) {
        int32_t status = QOR_CloseCamera(handle_);
        if (status != 0) std::cout << "Close with error: " << CameraException(status).sdkErrorText() << "\n";
        handle_ = nullptr;
    }
}

QOR_Description Camera::description() const {
    std::lock_guard lock(state_mutex_);
    return description_;
}

void Camera::readDescription() {
    QOR_Description desc{};
    desc.wSize = sizeof desc;
    sdk::check(QOR_GetCameraDescription(handle_, &desc));
    std::lock_guard lock(state_mutex_);
    description_ = desc;
}

uint32_t Camera::caps1() const { return description().dwGeneralCapsDESC1; }
uint32_t Camera::caps3() const { return description().dwGeneralCapsDESC3; }

uint32_t Camera::bitResolutionFlag() const { return pixelFormatFlag(description().wDynResDESC); }

std::string Camera::getName() const { return name_; }
uint32_t Camera::getSerial() const { return camera_type_.dwSerialNumber; }
uint16_t Camera::getInterface() const { return interface_type_; }
bool Camera::isColored() const { return (description().wSensorTypeDESC & 1) != 0; }
bool Camera::hasRam() const { return !hasCaps1(caps1::kNoCamRam); }

RawFormat Camera::getRawFormat() {
    {
        // The recorder and its layout are read together: a new recording replaces both.
        std::lock_guard lock(state_mutex_);
        if (recorder_) return layout_.raw_format;
    }
    return currentRawFormat();
}

RawFormat Camera::currentRawFormat() const {
    if (hasCaps3(caps3::kPixelFormatSetup)) return readCameraSetup().words[0] == 16 ? RawFormat::Byte : RawFormat::Word;
    return description().wDynResDESC <= 8 ? RawFormat::Byte : RawFormat::Word;
}

Description Camera::getDescription() {
    Description d;
    d.serial = camera_type_.dwSerialNumber;
    d.type = camera_type_.wCamType;
    d.sub_type = camera_type_.wCamSubType;
    d.interface_type = interface_type_;
    if (handle_ == nullptr) return d;

    QOR_Description desc{};
    desc.wSize = sizeof desc;
    sdk::check(QOR_GetCameraDescription(handle_, &desc));
    QOR_DescriptionEx3 ex{};
    ex.wSize = sizeof ex;
    const bool has_ex = (desc.dwGeneralCapsDESC1 & caps1::kExtendedDescription) != 0;
    if (has_ex) sdk::check(QOR_GetCameraDescriptionEx(handle_, &ex, 3));

    d.min_exposure_time_s = desc.dwMinExposureDESC / 1e9;
    d.max_exposure_time_s = desc.dwMaxExposureDESC / 1e3;
    d.min_exposure_step_s = desc.dwMinExposureStepDESC / 1e9;
    d.min_delay_time_s = desc.dwMinDelayDESC / 1e9;
    d.max_delay_time_s = desc.dwMaxDelayDESC / 1e3;
    d.min_delay_step_s = desc.dwMinDelayStepDESC / 1e9;
    if (desc.wIRDESC != 0) {
        uint16_t ir = 0;
        sdk::check(QOR_GetIRSensitivity(handle_, &ir));
        if (ir == 1) {
            d.min_exposure_time_s = desc.dwMinExposureIRDESC / 1e9;
            d.max_exposure_time_s = desc.dwMaxExposureIRDESC / 1e3;
            d.min_delay_time_s = desc.dwMinDelayIRDESC / 1e9;
            d.max_delay_time_s = desc.dwMaxDelayIRDESC / 1e3;
        }
    }

    uint16_t format = 0;
    sdk::check(QOR_GetSensorFormat(handle_, &format));
    if (format != 0) {
        d.max_width = desc.wMaxHorzResExtDESC;
        d.max_height = desc.wMaxVertResExtDESC;
    } else {
        d.max_width = desc.wMaxHorzResStdDESC;
        d.max_height = desc.wMaxVertResStdDESC;
    }
    if (has_ex) {
        d.min_width = format != 0 ? ex.wMinSizeHorzExtDESC : ex.wMinSizeHorzStdDESC;
        d.min_height = format != 0 ? ex.wMinSizeVertExtDESC : ex.wMinSizeVertStdDESC;
    } else {
        d.min_width = desc.wMinSizeHorzDESC;
        d.min_height = desc.wMinSizeVertDESC;
    }

    const uint32_t c1 = desc.dwGeneralCapsDESC1;
    d.roi_step_horz = desc.wRoiHorStepsDESC;
    d.roi_step_vert = desc.wRoiVertStepsDESC;
    d.roi_symmetric_horz = (c1 & caps1::kRoiSymmetricHorz) != 0;
    d.roi_symmetric_vert = (c1 & caps1::kRoiSymmetricVert) != 0;
    d.bit_resolution = desc.wDynResDESC;
    d.has_timestamp_mode = (c1 & caps1::kNoTimestamp) == 0;
    d.has_timestamp_mode_ascii_only = (c1 & caps1::kTimestampAsciiOnly) != 0;
    for (uint32_t rate : desc.dwPixelRateDESC) {
        if (rate == 0) break;
        d.pixelrate_vec.push_back(rate);
    }
    for (uint16_t factor : desc.wConvFactDESC) {
        if (factor == 0) break;
        d.conversion_factor_vec.push_back(factor / 100.0);
    }
    d.has_trigger_mode_extexpctrl = (c1 & caps1::kNoExtExposureControl) == 0;
    d.has_acquire_mode = (c1 & caps1::kNoAcquireMode) == 0;
    d.has_ext_acquire_mode = (c1 & caps1::kExtAcquireMode) != 0;
    d.has_metadata_mode = (c1 & caps1::kMetadata) != 0;
    d.has_ram = (c1 & caps1::kNoCamRam) == 0;

    auto factors = [](uint16_t max, uint16_t stepping) {
        std::vector<uint16_t> list;
        for (uint32_t f = 1; f <= max; f = stepping == 1 ? f + 1 : f * 2) list.push_back(static_cast<uint16_t>(f));
        return list;
    };
    d.binning_horz_vec = factors(desc.wMaxBinHorzDESC, desc.wBinHorzSteppingDESC);
    d.binning_vert_vec = factors(desc.wMaxBinVertDESC, desc.wBinVertSteppingDESC);
    d.has_average_binning = (desc.dwGeneralCapsDESC3 & caps3::kAverageBinning) != 0;

    if ((desc.dwGeneralCapsDESC3 & caps3::kPixelFormatSetup) != 0) {
        const CameraSetup setup = readCameraSetup();
        for (uint32_t flag = 1; flag <= 128; flag <<= 1)
            if ((setup.words[1] & flag) != 0) d.pixel_format_vec.push_back(flag);
    } else {
        d.pixel_format_vec.push_back(pixelFormatFlag(desc.wDynResDESC));
    }
    d.is_colored = isColored();
    return d;
}

SensorInfo Camera::getSensorInfo() {
    SensorInfo info;
    std::memset(&info, 0, sizeof info);
    info.wSize = sizeof info;
    uint16_t alignment = 0;
    sdk::check(QOR_GetBitAlignment(handle_, &alignment));
    if (alignment == 0) info.iSensorInfoBits |= 0x2;
    if (isColored()) info.iSensorInfoBits |= 0x1;
    info.strColorCoeff = QOR_ColorCoeff{1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (hasCaps1(caps1::kColorMatrix)) {
        std::array<double, 9> m{};
        sdk::check(QOR_GetColorCorrectionMatrix(handle_, m.data()));
        info.strColorCoeff = QOR_ColorCoeff{m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]};
    }
    info.iDataBits = description().wDynResDESC;
    info.iConversionFactor = 0;
    uint16_t dark = 0;
    sdk::check(QOR_GetSensorDarkOffset(handle_, &dark));
    info.iDarkOffset = dark;
    info.iCamNum = 0;
    info.hCamera = handle_;
    return info;
}

}  // namespace qor
