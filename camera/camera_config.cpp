// Configuration, exposure and delay, and arming.
#include <array>
#include <cmath>
#include <string>

#include "camera/camera.h"
#include "camera/camera_recorder.h"
#include "camera/camera_time.h"

namespace qor {
namespace {

// The limits in force: the IR-sensitive set when the camera has one and it is switched on.
TimeLimits currentTimeLimits(const QOR_Description& d, QOR_HANDLE handle) {
    uint16_t ir = 0;
    const bool ir_on = d.wIRDESC == 1 && QOR_GetIRSensitivity(handle, &ir) >= 0 && ir == 1;
    return timeLimits(d, ir_on);
}

void validateExposure(double s, const TimeLimits& l) {
    if (s < 0 || s < l.min_exposure)
        throw CameraException("invalid exposure time: smaller than min limit or negative", errc::kInvalidArgument);
    if (s > l.max_exposure)
        throw CameraException("invalid exposure time: greater than max limit", errc::kInvalidArgument);
}

void validateDelay(double s, const TimeLimits& l) {
    if (s < 0 || s < l.min_delay)
        throw CameraException("invalid delay time: smaller than min limit or negative", errc::kInvalidArgument);
    if (s > l.max_delay) throw CameraException("invalid delay time: greater than max limit", errc::kInvalidArgument);
}

// Pixel rate and conversion factor changes report success only as 0 or with all bits of 0x80001020.
void checkRateStatus(int32_t status) {
    constexpr uint32_t kAccepted = 0x80001020;
    if (status == 0 || (static_cast<uint32_t>(status) & kAccepted) == kAccepted) return;
    throw CameraException(status);
}

}  // namespace

bool Camera::arm(bool empty_segment_ok) {
    const int32_t arm_status = QOR_ArmCamera(handle_);
    // Arming the camera-RAM read-out of a segment without images reports these bits.
    constexpr uint32_t kEmptySegment = 0x80001025;
    if (empty_segment_ok && (static_cast<uint32_t>(arm_status) & kEmptySegment) == kEmptySegment) return false;
    sdk::check(arm_status);
    uint32_t warnings = 0, errors = 0, status = 0;
    sdk::check(QOR_GetCameraHealthStatus(handle_, &warnings, &errors, &status));
    if ((status & sdk::kWarningBit) != 0) readDescription();
    return true;
}

bool Camera::recorderRunning(const RecorderPtr& rec) const {
    if (!rec) return false;
    try {
        return recorderStatus(rec).running;
    } catch (const CameraException&) {
        return false;
    }
}

bool Camera::recorderRunning() const { return recorderRunning(recorder()); }

Camera::CameraSetup Camera::readCameraSetup() const {
    CameraSetup setup;
    sdk::check(QOR_GetCameraSetup(handle_, &setup.type, setup.words.data(), &setup.length));
    return setup;
}

Configuration Camera::getConfiguration() {
    Configuration c;
    uint32_t delay = 0, exposure = 0;
    uint16_t delay_base = 0, exposure_base = 0;
    sdk::check(QOR_GetDelayExposureTime(handle_, &delay, &exposure, &delay_base, &exposure_base));
    c.delay_time_s = fromSdkTime(delay, delay_base);
    c.exposure_time_s = fromSdkTime(exposure, exposure_base);

    uint16_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    sdk::check(QOR_GetROI(handle_, &x0, &y0, &x1, &y1));
    c.roi = Roi{x0, y0, x1, y1};

    const uint32_t c1 = caps1();
    if ((c1 & caps1::kNoTimestamp) == 0) {
        uint16_t mode = 0;
        sdk::check(QOR_GetTimestampMode(handle_, &mode));
        c.timestamp_mode = static_cast<int16_t>(mode);
    }

    uint32_t rate = 0;
    c.pixelrate = sdk::succeeded(QOR_GetPixelRate(handle_, &rate)) ? static_cast<int32_t>(rate) : 0;
    uint16_t factor = 0;
    c.conversion_factor = sdk::succeeded(QOR_GetConversionFactor(handle_, &factor)) ? factor / 100.0 : 0.0;

    uint16_t trigger = 0;
    sdk::check(QOR_GetTriggerMode(handle_, &trigger));
    c.trigger_mode = static_cast<int16_t>(trigger);

    if ((c1 & caps1::kNoAcquireMode) == 0) {
        uint16_t mode = 0;
        if ((c1 & caps1::kExtAcquireMode) != 0) {
            uint32_t count = 0;
            std::array<uint32_t, 4> reserved{};
            sdk::check(QOR_GetAcquireModeEx(handle_, &mode, &count, reserved.data()));
            if (mode == 4) c.acquire_sequence_number = static_cast<int32_t>(count);
        } else {
            sdk::check(QOR_GetAcquireMode(handle_, &mode));
        }
        c.acquire_mode = static_cast<int16_t>(mode);
    }

    if ((c1 & caps1::kMetadata) != 0) {
        uint16_t mode = 0, size = 0, version = 0;
        sdk::check(QOR_GetMetaDataMode(handle_, &mode, &size, &version));
        c.metadata_mode = static_cast<int16_t>(mode);
    } else {
        c.metadata_mode = 0;
    }

    if ((c1 & caps1::kNoiseFilter) != 0) {
        uint16_t mode = 0;
        sdk::check(QOR_GetNoiseFilterMode(handle_, &mode));
        c.noise_filter_mode = static_cast<int16_t>(mode);
    }

    uint16_t horz = 0, vert = 0;
    sdk::check(QOR_GetBinning(handle_, &horz, &vert));
    c.binning.horz = horz & 0x0FFF;
    c.binning.vert = vert & 0x0FFF;
    c.binning.mode = (horz & 0xF000) == 0x1000 ? BinningMode::average : BinningMode::sum;

    if (hasCaps3(caps3::kPixelFormatSetup)) {
        c.pixel_format = readCameraSetup().words[0];
    } else {
        c.pixel_format = bitResolutionFlag();
    }

    std::lock_guard lock(state_mutex_);
    c.auto_exposure = auto_exposure_;
    return c;
}

void Camera::setConfiguration(const Configuration& config) {
    if (recorderRunning())
        throw CameraException("Can not set configuration if recoding is running!", errc::kBusyRecording);

    const QOR_Description desc = description();
    const uint32_t c1 = desc.dwGeneralCapsDESC1;
    const bool has_exposure = !std::isnan(config.exposure_time_s);
    const bool has_delay = !std::isnan(config.delay_time_s);
    if (has_exposure || has_delay) {
        const TimeLimits limits = currentTimeLimits(desc, handle_);
        uint32_t cur_delay = 0, cur_exposure = 0;
        uint16_t cur_delay_base = 0, cur_exposure_base = 0;
        SdkTime exposure{}, delay{};
        if (has_exposure) {
            validateExposure(config.exposure_time_s, limits);
            exposure = toSdkTime(config.exposure_time_s);
        }
        if (!has_exposure || !has_delay)
            sdk::check(QOR_GetDelayExposureTime(handle_, &cur_delay, &cur_exposure, &cur_delay_base,
                                                &cur_exposure_base));
        if (!has_exposure) exposure = {cur_exposure, cur_exposure_base};
        if (has_delay) {
            validateDelay(config.delay_time_s, limits);
            delay = toSdkTime(config.delay_time_s);
        } else {
            delay = {cur_delay, cur_delay_base};
        }
        sdk::check(QOR_SetDelayExposureTime(handle_, delay.value, exposure.value, delay.base, exposure.base));
    }

    const Roi& r = config.roi;
    if (r.x0 != -1 && r.y0 != -1 && r.x1 != -1 && r.y1 != -1)
        sdk::check(QOR_SetROI(handle_, static_cast<uint16_t>(r.x0), static_cast<uint16_t>(r.y0),
                              static_cast<uint16_t>(r.x1), static_cast<uint16_t>(r.y1)));

    if ((c1 & caps1::kNoTimestamp) == 0 && config.timestamp_mode != -1)
        sdk::check(QOR_SetTimestampMode(handle_, static_cast<uint16_t>(config.timestamp_mode)));

    if (config.pixelrate != -1 && desc.dwPixelRateDESC[0] != 0)
        checkRateStatus(QOR_SetPixelRate(handle_, static_cast<uint32_t>(config.pixelrate)));

    if (!std::isnan(config.conversion_factor) && desc.wConvFactDESC[0] != 0) {
        // The SDK takes hundredths in 16 bits: a factor whose hundredths do not fit is refused, not cut.
        double hundredths = std::round(config.conversion_factor * 100.0);
        if (config.conversion_factor < 0 || config.conversion_factor > 65535 || !(hundredths <= 65535.0))
            throw CameraException("conversion_factor is out of range", errc::kInvalidArgument);
        checkRateStatus(QOR_SetConversionFactor(handle_, static_cast<uint16_t>(hundredths)));
    }

    if (config.trigger_mode != -1) sdk::check(QOR_SetTriggerMode(handle_, static_cast<uint16_t>(config.trigger_mode)));

    if (config.acquire_mode != -1 && (c1 & caps1::kNoAcquireMode) == 0) {
        if ((c1 & caps1::kExtAcquireMode) != 0) {
            if (config.acquire_mode == 4 && config.acquire_sequence_number == -1)
                throw CameraException("unspecified value for acquire_sequence_number.", errc::kUnspecified);
            uint32_t count = config.acquire_mode == 4 ? static_cast<uint32_t>(config.acquire_sequence_number) : 0;
            sdk::check(QOR_SetAcquireModeEx(handle_, static_cast<uint16_t>(config.acquire_mode), count, nullptr));
        } else {
            sdk::check(QOR_SetAcquireMode(handle_, static_cast<uint16_t>(config.acquire_mode)));
        }
    }

    if (config.metadata_mode != -1 && (c1 & caps1::kMetadata) != 0) {
        uint16_t size = 0, version = 0;
        sdk::check(QOR_SetMetaDataMode(handle_, static_cast<uint16_t>(config.metadata_mode), &size, &version));
    }

    if (config.noise_filter_mode != -1 && (c1 & caps1::kNoiseFilter) != 0)
        sdk::check(QOR_SetNoiseFilterMode(handle_, static_cast<uint16_t>(config.noise_filter_mode)));

    if (!(config.binning.horz == 0xFFFF && config.binning.vert == 0xFFFF)) {
        uint16_t horz = config.binning.horz;
        uint16_t vert = config.binning.vert;
        if (horz == 0xFFFF || vert == 0xFFFF) {
            uint16_t cur_horz = 0, cur_vert = 0;
            sdk::check(QOR_GetBinning(handle_, &cur_horz, &cur_vert));
            if (horz == 0xFFFF) horz = cur_horz & 0x0FFF;
            if (vert == 0xFFFF) vert = cur_vert & 0x0FFF;
        }
        if (config.binning.mode == BinningMode::average) {
            horz |= 0x1000;
            vert |= 0x1000;
        }
        sdk::check(QOR_SetBinning(handle_, horz, vert));
    }

    {
        std::lock_guard lock(state_mutex_);
        auto_exposure_ = config.auto_exposure;
    }
    applyAutoExposure(false);

    if (config.pixel_format != 0xFFFFFFFF) {
        const std::string unsupported = "unsupported pixelformat flag: " + std::to_string(config.pixel_format);
        if ((desc.dwGeneralCapsDESC3 & caps3::kPixelFormatSetup) != 0) {
            CameraSetup setup = readCameraSetup();
            if ((setup.words[1] & config.pixel_format) == 0 || (config.pixel_format & (config.pixel_format - 1)) != 0)
                throw CameraException(unsupported, errc::kInvalidArgument);
            setup.words[0] = config.pixel_format;
            sdk::check(QOR_SetCameraSetup(handle_, setup.type, setup.words.data(), setup.length));
        } else if (config.pixel_format != pixelFormatFlag(desc.wDynResDESC)) {
            throw CameraException(unsupported, errc::kInvalidArgument);
        }
    }
    arm();
}

void Camera::setDelayExposure(double delay_s, double exposure_s) {
    const TimeLimits limits = currentTimeLimits(description(), handle_);
    if (std::isnan(exposure_s)) throw CameraException("invalid exposure time: NaN", errc::kInvalidArgument);
    validateExposure(exposure_s, limits);
    if (std::isnan(delay_s)) throw CameraException("invalid delay time: NaN", errc::kInvalidArgument);
    validateDelay(delay_s, limits);
    SdkTime delay = toSdkTime(delay_s);
    SdkTime exposure = toSdkTime(exposure_s);
    sdk::check(QOR_SetDelayExposureTime(handle_, delay.value, exposure.value, delay.base, exposure.base));
    // During a recording the new times apply at once; arming would stop the camera.
    if (recorderRunning()) return;
    arm();
}

void Camera::setExposureTime(double s) { setDelayExposure(getConfiguration().delay_time_s, s); }

void Camera::setDelayTime(double s) { setDelayExposure(s, getConfiguration().exposure_time_s); }

double Camera::getExposureTime() { return getConfiguration().exposure_time_s; }

double Camera::getDelayTime() { return getConfiguration().delay_time_s; }

void Camera::defaultConfiguration() {
    if (hasRam()) switchToCamRam(getCamRamSegment());
    uint16_t state = 0;
    sdk::check(QOR_GetRecordingState(handle_, &state));
    if (state == 1) sdk::check(QOR_SetRecordingState(handle_, 0));
    sdk::check(QOR_ResetSettingsToDefault(handle_));
    sdk::check(QOR_SetBitAlignment(handle_, 1));
    if (hasCaps1(caps1::kMetadata)) {
        uint16_t size = 0, version = 0;
        sdk::check(QOR_SetMetaDataMode(handle_, 1, &size, &version));
    }
    const QOR_Description d = description();
    const TimeLimits limits = timeLimits(d, false);
    {
        std::lock_guard lock(state_mutex_);
        // Below the limit the auto-exposure minimum is raised one step above the described minimum.
        if (auto_exposure_.min_exposure_s < limits.min_exposure)
            auto_exposure_.min_exposure_s = (double(d.dwMinExposureDESC) + double(d.dwMinExposureStepDESC)) * 1e-9;
        if (auto_exposure_.max_exposure_s > limits.max_exposure) auto_exposure_.max_exposure_s = limits.max_exposure;
    }
    arm();
}

}  // namespace qor
