// Hardware I/O signals and the recorder's auto exposure.
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "camera/camera.h"
#include "camera/camera_recorder.h"
#include "camera/camera_time.h"

namespace qor {
namespace {

constexpr std::array<const char*, 4> kSubSignalNames = {"Status Busy", "Status Expos", "Status Line", "Status Armed"};

}  // namespace

bool Camera::configureHwio(uint16_t index, uint16_t needed, const char* unsupported, bool on, SignalPolarity polarity,
                           std::optional<SignalType> signal_type, SignalTiming signal_timing) {
    if (recorderRunning()) throw CameraException("Can not change HWIO during record!", errc::kBusyRecording);
    if (!hasCaps1(caps1::kHwioDescriptors))
        throw CameraException("HWIO Configuration not supported for this camera!", errc::kNotSupported);
    // The signal type indexes the name table: a value outside it is refused before anything is read.
    const auto type_index = signal_type ? static_cast<int32_t>(*signal_type) : 0;
    if (type_index < 0 || type_index >= static_cast<int32_t>(kSubSignalNames.size()))
        throw CameraException("invalid signal_type: " + std::to_string(type_index), errc::kInvalidArgument);

    uint16_t count = 0;
    sdk::check(QOR_GetHWIOSignalCount(handle_, &count));
    if (count < needed) throw CameraException(unsupported, errc::kNotSupported);

    QOR_Signal signal{};
    signal.wSize = sizeof signal;
    sdk::check(QOR_GetHWIOSignal(handle_, index, &signal));

    bool found = false;
    if (signal_type) {
        QOR_SignalDescriptor descriptor{};
        descriptor.wSize = sizeof descriptor;
        sdk::check(QOR_GetHWIOSignalDescriptor(handle_, index, &descriptor));
        const char* wanted = kSubSignalNames[static_cast<size_t>(type_index)];
        for (uint16_t i = 0; i < 4; ++i) {
            std::string name(descriptor.strSignalName[i], strnlen(descriptor.strSignalName[i], 25));
            if (name.find(wanted) == std::string::npos) continue;
            found = true;
            signal.wSelected = i;
            if (index == 3 && signal_timing != SignalTiming::undefined) {
                if (*signal_type != SignalType::status_expos)
                    throw CameraException("Signal Timing only supported for signal type status_expos!",
                                          errc::kNotSupported);
                if (signal.dwSignalFunctionality[i] != 7)
                    throw CameraException("Signal Timing only supported for rolling shutter!", errc::kNotSupported);
                signal.dwParameter[i] = static_cast<uint32_t>(signal_timing);
            }
            break;
        }
    }
    signal.wEnabled = on ? 1 : 0;
    signal.wPolarity = static_cast<uint16_t>(polarity);
    sdk::check(QOR_SetHWIOSignal(handle_, index, &signal));
    arm();
    return found;
}

void Camera::configureHWIO_1_exposureTrigger(bool on, SignalPolarity polarity) {
    configureHwio(0, 1, "HWIO signal exposureTrigger not supported!", on, polarity, std::nullopt,
                  SignalTiming::undefined);
}

void Camera::configureHWIO_2_acquireEnable(bool on, SignalPolarity polarity) {
    configureHwio(1, 2, "HWIO signal acquireEnable not supported!", on, polarity, std::nullopt,
                  SignalTiming::undefined);
}

bool Camera::configureHWIO_3_statusBusy(bool on, SignalPolarity polarity, SignalType signal_type) {
    return configureHwio(2, 3, "HWIO signal statusBusy not supported!", on, polarity, signal_type,
                         SignalTiming::undefined);
}

bool Camera::configureHWIO_4_statusExpos(bool on, SignalPolarity polarity, SignalType signal_type,
                                         SignalTiming signal_timing) {
    return configureHwio(3, 4, "HWIO signal statusExpos not supported!", on, polarity, signal_type, signal_timing);
}

void Camera::applyAutoExposure(bool force) {
    RecorderPtr rec = recorder();
    if (!rec) return;
    AutoExposure settings;
    bool on = false;
    {
        std::lock_guard lock(state_mutex_);
        settings = auto_exposure_;
        on = auto_exposure_on_;
    }
    sdk::check(QOR_RecorderSetAutoExpRegions(rec->get(), handle_, static_cast<uint16_t>(settings.region), nullptr,
                                             nullptr, 0));
    if (!force && !recorderRunning(rec)) return;
    SdkTime max = toSdkTime(settings.max_exposure_s);
    uint32_t min = toSdkValue(settings.min_exposure_s, max.base);
    sdk::check(QOR_RecorderSetAutoExposure(rec->get(), handle_, on ? 1 : 0, 3, min, max.value, max.base));
}

void Camera::configureAutoExposure(RegionType region_type, double min_exposure_s, double max_exposure_s) {
    if (recorderRunning())
        throw CameraException("Can not set auto exp configuration if recoding is running!", errc::kBusyRecording);
    if (std::isnan(min_exposure_s) || std::isnan(max_exposure_s))
        throw CameraException("invalid exposure time limits for auto exposure: NaN", errc::kInvalidArgument);
    if (min_exposure_s >= max_exposure_s)
        throw CameraException("invalid exposure time limits for auto exposure: min >= max", errc::kInvalidArgument);
    const TimeLimits limits = timeLimits(description(), false);
    if (min_exposure_s < limits.min_exposure || min_exposure_s < 0)
        throw CameraException("invalid exposure time limits for auto exposure: smaller than min limit or negative",
                              errc::kInvalidArgument);
    if (max_exposure_s > limits.max_exposure)
        throw CameraException("invalid exposure time limits for auto exposure: greater than max limit",
                              errc::kInvalidArgument);
    {
        std::lock_guard lock(state_mutex_);
        auto_exposure_ = AutoExposure{region_type, min_exposure_s, max_exposure_s};
    }
    applyAutoExposure(false);
}

void Camera::autoExposureOn() {
    {
        std::lock_guard lock(state_mutex_);
        auto_exposure_on_ = true;
    }
    applyAutoExposure(false);
}

void Camera::autoExposureOff() {
    {
        std::lock_guard lock(state_mutex_);
        auto_exposure_on_ = false;
    }
    applyAutoExposure(false);
}

}  // namespace qor
