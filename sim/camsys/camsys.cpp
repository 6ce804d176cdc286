// The simulated camera SDK: library, scan and open, description and identity, acquisition settings,
// arming, hardware signals and camera RAM. Every call validates its handle, record sizes and
// arguments and answers an error status instead of crashing.
#include <algorithm>
#include <cstring>
#include <string>

#include "camera/vendor/qor_camsys.h"
#include "sim/common/camera_model.h"
#include "sim/common/errors.h"
#include "sim/common/faults.h"

#define QOR_EXPORT extern "C" __attribute__((visibility("default")))

using namespace qorsim;

namespace {

// Looks up the handle's device or returns the look-up's status from the calling function.
#define QORSIM_DEVICE(handle)                         \
    HandleLookup lookup_ = lookupHandle(handle);      \
    if (!lookup_.device) return lookup_.status;       \
    CameraDevice& dev = *lookup_.device;              \
    const CameraSpec& model = dev.model();              \
    (void)model

// Settings may not change while the camera records, except delay and exposure.
#define QORSIM_NOT_WHILE_RECORDING()                   \
    if (dev.recording()) return err::kCameraBusy

bool validTimeBase(uint16_t base) { return base <= 2; }

uint64_t toNs(uint32_t value, uint16_t base) {
    static constexpr uint64_t kScale[3] = {1, 1000, 1000000};
    return uint64_t{value} * kScale[base];
}

bool contains(const uint32_t* list, size_t n, uint32_t value) {
    return value != 0 && std::find(list, list + n, value) != list + n;
}

bool contains16(const uint16_t* list, size_t n, uint16_t value) {
    return value != 0 && std::find(list, list + n, value) != list + n;
}

int32_t validateRoi(const CameraSpec& model, const CameraSettings& s) {
    const auto& r = s.roi;
    uint32_t width = model.maxWidth() / std::max<uint16_t>(s.binningFactorHorz(), 1);
    uint32_t height = model.maxHeight() / std::max<uint16_t>(s.binningFactorVert(), 1);
    if (r[0] < 1 || r[1] < 1 || r[0] > r[2] || r[1] > r[3] || r[2] > width || r[3] > height) return err::kInvalidRoi;
    uint32_t step_h = std::max<uint16_t>(model.description.wRoiHorStepsDESC, 1);
    uint32_t step_v = std::max<uint16_t>(model.description.wRoiVertStepsDESC, 1);
    uint32_t w = r[2] - r[0] + 1;
    uint32_t h = r[3] - r[1] + 1;
    if ((r[0] - 1) % step_h != 0 || w % step_h != 0) return err::kInvalidRoi;
    if ((r[1] - 1) % step_v != 0 || h % step_v != 0) return err::kInvalidRoi;
    uint32_t min_w = model.description.wMinSizeHorzDESC / std::max<uint16_t>(s.binningFactorHorz(), 1);
    uint32_t min_h = model.description.wMinSizeVertDESC / std::max<uint16_t>(s.binningFactorVert(), 1);
    if (w < min_w || h < min_h) return err::kInvalidRoi;
    if (model.has(0x01000000) && uint32_t{r[0]} - 1 != width - r[2]) return err::kInvalidRoi;
    if (model.has(0x00800000) && uint32_t{r[1]} - 1 != height - r[3]) return err::kInvalidRoi;
    return 0;
}

int32_t validateTimes(const CameraSpec& model, uint64_t delay_ns, uint64_t exposure_ns) {
    uint64_t step = model.description.dwMinExposureStepDESC;
    uint64_t min_exposure = model.minExposureNs();
    if (exposure_ns + step < min_exposure || exposure_ns > model.maxExposureNs()) return err::kInvalidTime;
    if (delay_ns < model.minDelayNs() || delay_ns > model.maxDelayNs()) return err::kInvalidTime;
    return 0;
}

template <class T>
void copyText(const std::string& text, char* out, T len) {
    size_t n = std::min<size_t>(text.size(), static_cast<size_t>(len) - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

// ---- Library --------------------------------------------------------------------------------

QOR_EXPORT int QOR_InitializeLib(void) {
    QORSIM_ENTER();
    int32_t status = sdkInitStatus();
    if (status != 0) return status;
    setSdkInitialized(true);
    return 0;
}

QOR_EXPORT int QOR_CleanupLib(void) {
    QORSIM_ENTER();
    setSdkInitialized(false);
    return 0;
}

QOR_EXPORT int QOR_GetErrorTextSDK(uint32_t code, char* text, uint32_t text_len) {
    if (text == nullptr || text_len == 0) return err::kNullPointer;
    copyText(std::string(errorText(code)), text, text_len);
    return 0;
}

// ---- Devices --------------------------------------------------------------------------------

QOR_EXPORT int QOR_ScanCameras(uint16_t interface_type, uint32_t* count, QOR_DeviceEntry* entries,
                               uint32_t buffer_size) {
    QORSIM_ENTER(interface_type, QORSIM_PTR(entries), buffer_size);
    if (!sdkInitialized()) return err::kNotInitialized;
    if (count == nullptr) return err::kNullPointer;
    std::vector<std::shared_ptr<CameraDevice>> found;
    for (const auto& d : cameraDevices())
        if (!d->unplugged() && (interface_type == 0 || d->model().interface_type == interface_type)) found.push_back(d);
    *count = static_cast<uint32_t>(found.size());
    if (entries == nullptr) return 0;
    if (buffer_size < found.size() * sizeof(QOR_DeviceEntry)) return err::kNoScanBuffer;
    for (size_t i = 0; i < found.size(); ++i) {
        QOR_DeviceEntry e{};
        e.wSize = sizeof(QOR_DeviceEntry);
        e.dwStateFlags = found[i]->model().state_flags | (cameraInUse(*found[i]) ? QOR_DEVICE_IN_USE : 0);
        e.wDeviceNumber = found[i]->deviceNumber();
        e.dwSerialNumber = found[i]->model().serial;
        e.wInterfaceType = found[i]->model().interface_type;
        std::memcpy(&entries[i], &e, sizeof e);
    }
    return 0;
}

QOR_EXPORT int QOR_OpenCameraDevice(QOR_HANDLE* handle, uint16_t device_number) {
    QORSIM_ENTER(device_number);
    if (!sdkInitialized()) return err::kNotInitialized;
    if (handle == nullptr) return err::kNullPointer;
    return openCamera(device_number, handle);
}

QOR_EXPORT int QOR_CloseCamera(QOR_HANDLE handle) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    return closeCamera(handle);
}

// ---- Description and identity ---------------------------------------------------------------

QOR_EXPORT int QOR_GetCameraDescription(QOR_HANDLE handle, QOR_Description* description) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (description == nullptr) return err::kNullPointer;
    if (description->wSize != sizeof(QOR_Description)) return err::kWrongRecordSize;
    *description = model.description;
    return 0;
}

QOR_EXPORT int QOR_GetCameraDescriptionEx(QOR_HANDLE handle, void* description, uint16_t kind) {
    QORSIM_ENTER(QORSIM_PTR(handle), kind);
    QORSIM_DEVICE(handle);
    if (description == nullptr) return err::kNullPointer;
    if (!model.has(0x10000000)) return err::kNotSupported;
    if (kind != 3) return err::kValueOutOfRange;
    auto* ex = static_cast<QOR_DescriptionEx3*>(description);
    if (ex->wSize != sizeof(QOR_DescriptionEx3)) return err::kWrongRecordSize;
    *ex = model.description_ex;
    return 0;
}

QOR_EXPORT int QOR_GetCameraType(QOR_HANDLE handle, QOR_CameraType* type) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (type == nullptr) return err::kNullPointer;
    if (type->wSize != sizeof(QOR_CameraType)) return err::kWrongRecordSize;
    *type = model.camera_type;
    return 0;
}

QOR_EXPORT int QOR_GetCameraName(QOR_HANDLE handle, char* name, uint16_t name_len) {
    QORSIM_ENTER(QORSIM_PTR(handle), name_len);
    QORSIM_DEVICE(handle);
    if (name == nullptr || name_len == 0) return err::kNullPointer;
    copyText(model.name, name, name_len);
    return 0;
}

QOR_EXPORT int QOR_GetIRSensitivity(QOR_HANDLE handle, uint16_t* ir) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (ir == nullptr) return err::kNullPointer;
    if (model.description.wIRDESC == 0) return err::kNotSupported;
    *ir = model.ir_sensitivity;
    return 0;
}

QOR_EXPORT int QOR_GetSensorFormat(QOR_HANDLE handle, uint16_t* format) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (format == nullptr) return err::kNullPointer;
    *format = model.sensor_format;
    return 0;
}

QOR_EXPORT int QOR_GetCameraSetup(QOR_HANDLE handle, uint16_t* type, uint32_t* setup, uint16_t* setup_len) {
    QORSIM_ENTER(QORSIM_PTR(handle), type ? *type : -1, setup_len ? *setup_len : -1);
    QORSIM_DEVICE(handle);
    if (type == nullptr || setup == nullptr || setup_len == nullptr) return err::kNullPointer;
    if (!model.has3(0x00020000)) return err::kNotSupported;
    if (*type != 1 || *setup_len == 0) return err::kValueOutOfRange;
    auto s = dev.settings();
    uint16_t n = std::min<uint16_t>(*setup_len, 4);
    std::copy_n(s.setup.begin(), n, setup);
    *setup_len = n;
    return 0;
}

QOR_EXPORT int QOR_SetCameraSetup(QOR_HANDLE handle, uint16_t type, uint32_t* setup, uint16_t setup_len) {
    QORSIM_ENTER(QORSIM_PTR(handle), type, setup ? setup[0] : -1, setup_len);
    QORSIM_DEVICE(handle);
    if (setup == nullptr) return err::kNullPointer;
    if (!model.has3(0x00020000)) return err::kNotSupported;
    QORSIM_NOT_WHILE_RECORDING();
    if (type != 1 || setup_len == 0) return err::kValueOutOfRange;
    uint32_t flag = setup[0];
    if (flag == 0 || (flag & (flag - 1)) != 0 || (flag & model.setup_allowed) == 0) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.setup[0] = flag; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetBitAlignment(QOR_HANDLE handle, uint16_t* alignment) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (alignment == nullptr) return err::kNullPointer;
    *alignment = dev.settings().bit_alignment;
    return 0;
}

QOR_EXPORT int QOR_SetBitAlignment(QOR_HANDLE handle, uint16_t alignment) {
    QORSIM_ENTER(QORSIM_PTR(handle), alignment);
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (alignment > 1) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.bit_alignment = alignment; });
    return 0;
}

QOR_EXPORT int QOR_GetColorCorrectionMatrix(QOR_HANDLE handle, double* matrix9) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (matrix9 == nullptr) return err::kNullPointer;
    if (!model.has(0x00020000)) return err::kNotSupported;
    std::copy(model.color_matrix.begin(), model.color_matrix.end(), matrix9);
    return 0;
}

QOR_EXPORT int QOR_GetSensorDarkOffset(QOR_HANDLE handle, uint16_t* dark_offset) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (dark_offset == nullptr) return err::kNullPointer;
    *dark_offset = model.dark_offset;
    return 0;
}

// ---- Acquisition settings -------------------------------------------------------------------

QOR_EXPORT int QOR_GetDelayExposureTime(QOR_HANDLE handle, uint32_t* delay, uint32_t* exposure,
                                        uint16_t* delay_base, uint16_t* exposure_base) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (delay == nullptr || exposure == nullptr || delay_base == nullptr || exposure_base == nullptr)
        return err::kNullPointer;
    auto s = dev.settings();
    *delay = s.delay;
    *exposure = s.exposure;
    *delay_base = s.delay_base;
    *exposure_base = s.exposure_base;
    return 0;
}

QOR_EXPORT int QOR_SetDelayExposureTime(QOR_HANDLE handle, uint32_t delay, uint32_t exposure, uint16_t delay_base,
                                        uint16_t exposure_base) {
    QORSIM_ENTER(QORSIM_PTR(handle), delay, exposure, delay_base, exposure_base);
    QORSIM_DEVICE(handle);
    if (!validTimeBase(delay_base) || !validTimeBase(exposure_base)) return err::kValueOutOfRange;
    uint64_t delay_ns = toNs(delay, delay_base);
    uint64_t exposure_ns = toNs(exposure, exposure_base);
    if (int32_t status = validateTimes(model, delay_ns, exposure_ns); status != 0) return status;
    // A time within one step below the minimum is raised to the minimum, as the camera does.
    if (exposure_ns < model.minExposureNs()) {
        exposure = static_cast<uint32_t>(model.minExposureNs());
        exposure_base = 0;
    }
    dev.modify([&](CameraSettings& s) {
        s.delay = delay;
        s.exposure = exposure;
        s.delay_base = delay_base;
        s.exposure_base = exposure_base;
    });
    if (!dev.recording()) dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetROI(QOR_HANDLE handle, uint16_t* x0, uint16_t* y0, uint16_t* x1, uint16_t* y1) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (x0 == nullptr || y0 == nullptr || x1 == nullptr || y1 == nullptr) return err::kNullPointer;
    auto s = dev.settings();
    *x0 = s.roi[0];
    *y0 = s.roi[1];
    *x1 = s.roi[2];
    *y1 = s.roi[3];
    return 0;
}

QOR_EXPORT int QOR_SetROI(QOR_HANDLE handle, uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1) {
    QORSIM_ENTER(QORSIM_PTR(handle), x0, y0, x1, y1);
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (x0 < 1 || y0 < 1 || x0 > x1 || y0 > y1 || x1 > model.maxWidth() || y1 > model.maxHeight())
        return err::kInvalidRoi;
    dev.modify([&](CameraSettings& s) { s.roi = {x0, y0, x1, y1}; });
    dev.setArmed(false);
    return 0;
}

// Getter and setter of a 16-bit mode with a capability check and an upper bound.
#define QORSIM_MODE_CALLS(Name, member, supported, max_value)                       \
    QOR_EXPORT int QOR_Get##Name(QOR_HANDLE handle, uint16_t* mode) {               \
        QORSIM_ENTER(QORSIM_PTR(handle));                                           \
        QORSIM_DEVICE(handle);                                                      \
        if (mode == nullptr) return err::kNullPointer;                              \
        if (!(supported)) return err::kNotSupported;                                \
        *mode = dev.settings().member;                                              \
        return 0;                                                                   \
    }                                                                               \
    QOR_EXPORT int QOR_Set##Name(QOR_HANDLE handle, uint16_t mode) {                \
        QORSIM_ENTER(QORSIM_PTR(handle), mode);                                     \
        QORSIM_DEVICE(handle);                                                      \
        if (!(supported)) return err::kNotSupported;                                \
        QORSIM_NOT_WHILE_RECORDING();                                               \
        if (mode > (max_value)) return err::kValueOutOfRange;                       \
        dev.modify([&](CameraSettings& s) { s.member = mode; });                    \
        dev.setArmed(false);                                                        \
        return 0;                                                                   \
    }

QOR_EXPORT int QOR_GetTimestampMode(QOR_HANDLE handle, uint16_t* mode) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (mode == nullptr) return err::kNullPointer;
    if (!model.hasTimestamp()) return err::kNotSupported;
    *mode = dev.settings().timestamp_mode;
    return 0;
}

// Modes: 0 off, 1 binary, 2 binary and text, 3 text only; text-only cameras take 0 and 3.
QOR_EXPORT int QOR_SetTimestampMode(QOR_HANDLE handle, uint16_t mode) {
    QORSIM_ENTER(QORSIM_PTR(handle), mode);
    QORSIM_DEVICE(handle);
    if (!model.hasTimestamp()) return err::kNotSupported;
    QORSIM_NOT_WHILE_RECORDING();
    if (mode > 3 || (model.has(0x00000008) && (mode == 1 || mode == 2))) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.timestamp_mode = mode; });
    dev.setArmed(false);
    return 0;
}

QORSIM_MODE_CALLS(TriggerMode, trigger_mode, true, model.has(0x00000080) ? 2 : 3)
QORSIM_MODE_CALLS(AcquireMode, acquire_mode, !model.has(0x00000200), 2)
QORSIM_MODE_CALLS(NoiseFilterMode, noise_filter_mode, model.has(0x00000001), 2)
QORSIM_MODE_CALLS(DoubleImageMode, double_image, model.description.wDoubleImageDESC != 0, 1)

#undef QORSIM_MODE_CALLS

QOR_EXPORT int QOR_GetPixelRate(QOR_HANDLE handle, uint32_t* rate) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (rate == nullptr) return err::kNullPointer;
    *rate = dev.settings().pixel_rate;
    return 0;
}

QOR_EXPORT int QOR_SetPixelRate(QOR_HANDLE handle, uint32_t rate) {
    QORSIM_ENTER(QORSIM_PTR(handle), rate);
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (!contains(model.description.dwPixelRateDESC, 4, rate)) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.pixel_rate = rate; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetConversionFactor(QOR_HANDLE handle, uint16_t* factor) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (factor == nullptr) return err::kNullPointer;
    *factor = dev.settings().conversion_factor;
    return 0;
}

QOR_EXPORT int QOR_SetConversionFactor(QOR_HANDLE handle, uint16_t factor) {
    QORSIM_ENTER(QORSIM_PTR(handle), factor);
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (!contains16(model.description.wConvFactDESC, 4, factor)) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.conversion_factor = factor; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetAcquireModeEx(QOR_HANDLE handle, uint16_t* mode, uint32_t* image_count, uint32_t* reserved4) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (mode == nullptr || image_count == nullptr) return err::kNullPointer;
    if (model.has(0x00000200) || !model.has(0x00200000)) return err::kNotSupported;
    auto s = dev.settings();
    *mode = s.acquire_mode;
    *image_count = s.acquire_count;
    if (reserved4 != nullptr) std::fill_n(reserved4, 4, 0u);
    return 0;
}

QOR_EXPORT int QOR_SetAcquireModeEx(QOR_HANDLE handle, uint16_t mode, uint32_t image_count, uint32_t* reserved4) {
    QORSIM_ENTER(QORSIM_PTR(handle), mode, image_count, QORSIM_PTR(reserved4));
    QORSIM_DEVICE(handle);
    if (model.has(0x00000200) || !model.has(0x00200000)) return err::kNotSupported;
    QORSIM_NOT_WHILE_RECORDING();
    if (mode == 3 || mode > 4) return err::kValueOutOfRange;
    if (mode == 4 && image_count == 0) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) {
        s.acquire_mode = mode;
        s.acquire_count = mode == 4 ? image_count : 0;
    });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetMetaDataMode(QOR_HANDLE handle, uint16_t* mode, uint16_t* size, uint16_t* version) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (mode == nullptr) return err::kNullPointer;
    if (!model.has(0x00004000)) return err::kNotSupported;
    *mode = dev.settings().metadata_mode;
    if (size != nullptr) *size = sizeof(QOR_Metadata);
    if (version != nullptr) *version = 1;
    return 0;
}

QOR_EXPORT int QOR_SetMetaDataMode(QOR_HANDLE handle, uint16_t mode, uint16_t* size, uint16_t* version) {
    QORSIM_ENTER(QORSIM_PTR(handle), mode);
    QORSIM_DEVICE(handle);
    if (!model.has(0x00004000)) return err::kNotSupported;
    QORSIM_NOT_WHILE_RECORDING();
    if (mode > 1) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.metadata_mode = mode; });
    if (size != nullptr) *size = sizeof(QOR_Metadata);
    if (version != nullptr) *version = 1;
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetBinning(QOR_HANDLE handle, uint16_t* horz, uint16_t* vert) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (horz == nullptr || vert == nullptr) return err::kNullPointer;
    auto s = dev.settings();
    *horz = s.binning_horz;
    *vert = s.binning_vert;
    return 0;
}

QOR_EXPORT int QOR_SetBinning(QOR_HANDLE handle, uint16_t horz, uint16_t vert) {
    QORSIM_ENTER(QORSIM_PTR(handle), horz, vert);
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    bool average = (horz & 0x1000) != 0 || (vert & 0x1000) != 0;
    if (((horz | vert) & 0xE000) != 0) return err::kInvalidBinning;
    if (average && !model.has3(0x00004000)) return err::kInvalidBinning;
    auto h_factors = model.binningFactors(true);
    auto v_factors = model.binningFactors(false);
    if (std::find(h_factors.begin(), h_factors.end(), horz & 0x0FFF) == h_factors.end() ||
        std::find(v_factors.begin(), v_factors.end(), vert & 0x0FFF) == v_factors.end())
        return err::kInvalidBinning;
    uint16_t mode_bit = average ? 0x1000 : 0;
    dev.modify([&](CameraSettings& s) {
        s.binning_horz = static_cast<uint16_t>((horz & 0x0FFF) | mode_bit);
        s.binning_vert = static_cast<uint16_t>((vert & 0x0FFF) | mode_bit);
    });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_ResetSettingsToDefault(QOR_HANDLE handle) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    dev.resetSettings();
    return 0;
}

// ---- State ----------------------------------------------------------------------------------

QOR_EXPORT int QOR_GetRecordingState(QOR_HANDLE handle, uint16_t* state) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (state == nullptr) return err::kNullPointer;
    *state = dev.recording() ? 1 : 0;
    return 0;
}

QOR_EXPORT int QOR_SetRecordingState(QOR_HANDLE handle, uint16_t state) {
    QORSIM_ENTER(QORSIM_PTR(handle), state);
    QORSIM_DEVICE(handle);
    if (state > 1) return err::kValueOutOfRange;
    if (state == 1 && !dev.armed()) return err::kCameraBusy;
    dev.setRecording(state == 1);
    return 0;
}

QOR_EXPORT int QOR_ArmCamera(QOR_HANDLE handle) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    auto s = dev.settings();
    if (int32_t status = validateRoi(model, s); status != 0) return status;
    if (int32_t status = validateTimes(model, s.delayNs(), s.exposureNs()); status != 0) return status;
    if (model.description.dwPixelRateDESC[0] != 0 && !contains(model.description.dwPixelRateDESC, 4, s.pixel_rate))
        return err::kValueOutOfRange;
    dev.setArmed(true);
    return 0;
}

QOR_EXPORT int QOR_GetCameraHealthStatus(QOR_HANDLE handle, uint32_t* warnings, uint32_t* errors, uint32_t* status) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (warnings == nullptr || errors == nullptr || status == nullptr) return err::kNullPointer;
    *warnings = 0;
    *errors = 0;
    *status = model.health_status;
    return 0;
}

QOR_EXPORT int QOR_ForceTrigger(QOR_HANDLE handle, uint16_t* triggered) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (triggered == nullptr) return err::kNullPointer;
    // Only a recording camera that waits for triggers takes one; in free-running mode it is ignored.
    bool taken = dev.recording() && dev.settings().trigger_mode != 0;
    if (taken) dev.pushTrigger();
    *triggered = taken ? 1 : 0;
    return 0;
}

// ---- Hardware I/O signals -------------------------------------------------------------------

QOR_EXPORT int QOR_GetHWIOSignalCount(QOR_HANDLE handle, uint16_t* count) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_DEVICE(handle);
    if (count == nullptr) return err::kNullPointer;
    if (!model.has(0x40000000)) return err::kNotSupported;
    *count = model.hwio_count;
    return 0;
}

QOR_EXPORT int QOR_GetHWIOSignal(QOR_HANDLE handle, uint16_t index, QOR_Signal* signal) {
    QORSIM_ENTER(QORSIM_PTR(handle), index);
    QORSIM_DEVICE(handle);
    if (signal == nullptr) return err::kNullPointer;
    if (signal->wSize != sizeof(QOR_Signal)) return err::kWrongRecordSize;
    if (index >= model.hwio_count) return err::kValueOutOfRange;
    *signal = dev.settings().hwio[index];
    return 0;
}

QOR_EXPORT int QOR_SetHWIOSignal(QOR_HANDLE handle, uint16_t index, QOR_Signal* signal) {
    QORSIM_ENTER(QORSIM_PTR(handle), index, signal ? signal->wEnabled : -1, signal ? signal->wPolarity : -1,
                 signal ? signal->wSelected : -1, signal ? signal->dwParameter[signal->wSelected & 3] : -1);
    QORSIM_DEVICE(handle);
    if (signal == nullptr) return err::kNullPointer;
    if (signal->wSize != sizeof(QOR_Signal)) return err::kWrongRecordSize;
    if (index >= model.hwio_count) return err::kValueOutOfRange;
    QORSIM_NOT_WHILE_RECORDING();
    const QOR_Signal current = dev.settings().hwio[index];
    if (signal->wEnabled > 1 || signal->wSelected > 3) return err::kValueOutOfRange;
    if (signal->wPolarity != 1 && signal->wPolarity != 2 && signal->wPolarity != 4 && signal->wPolarity != 8)
        return err::kValueOutOfRange;
    if (model.hwio_descriptors[index].strSignalName[signal->wSelected][0] == '\0') return err::kValueOutOfRange;
    for (int i = 0; i < 4; ++i) {
        // Timing parameters change only where the signal offers a settable timing.
        if (signal->dwParameter[i] == current.dwParameter[i]) continue;
        if (current.dwSignalFunctionality[i] != 7 || signal->dwParameter[i] < 1 || signal->dwParameter[i] > 4)
            return err::kValueOutOfRange;
    }
    QOR_Signal stored = *signal;
    std::copy_n(current.dwSignalFunctionality, 4, stored.dwSignalFunctionality);
    dev.modify([&](CameraSettings& s) { s.hwio[index] = stored; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetHWIOSignalDescriptor(QOR_HANDLE handle, uint16_t index, QOR_SignalDescriptor* descriptor) {
    QORSIM_ENTER(QORSIM_PTR(handle), index);
    QORSIM_DEVICE(handle);
    if (descriptor == nullptr) return err::kNullPointer;
    if (descriptor->wSize != sizeof(QOR_SignalDescriptor)) return err::kWrongRecordSize;
    if (!model.has(0x40000000)) return err::kNotSupported;
    if (index >= model.hwio_count) return err::kValueOutOfRange;
    *descriptor = model.hwio_descriptors[index];
    return 0;
}

// ---- Camera RAM -----------------------------------------------------------------------------

#define QORSIM_RAM_DEVICE(handle)                       \
    QORSIM_DEVICE(handle);                              \
    if (!model.hasCamRam()) return err::kNotSupported

QOR_EXPORT int QOR_GetStorageMode(QOR_HANDLE handle, uint16_t* mode) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_RAM_DEVICE(handle);
    if (mode == nullptr) return err::kNullPointer;
    *mode = dev.settings().storage_mode;
    return 0;
}

QOR_EXPORT int QOR_SetStorageMode(QOR_HANDLE handle, uint16_t mode) {
    QORSIM_ENTER(QORSIM_PTR(handle), mode);
    QORSIM_RAM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (mode > 1) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.storage_mode = mode; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetRecorderSubmode(QOR_HANDLE handle, uint16_t* submode) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_RAM_DEVICE(handle);
    if (submode == nullptr) return err::kNullPointer;
    *submode = dev.settings().recorder_submode;
    return 0;
}

QOR_EXPORT int QOR_SetRecorderSubmode(QOR_HANDLE handle, uint16_t submode) {
    QORSIM_ENTER(QORSIM_PTR(handle), submode);
    QORSIM_RAM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (submode > 1) return err::kValueOutOfRange;
    dev.modify([&](CameraSettings& s) { s.recorder_submode = submode; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetActiveRamSegment(QOR_HANDLE handle, uint16_t* segment) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_RAM_DEVICE(handle);
    if (segment == nullptr) return err::kNullPointer;
    *segment = dev.settings().active_segment;
    return 0;
}

QOR_EXPORT int QOR_SetActiveRamSegment(QOR_HANDLE handle, uint16_t segment) {
    QORSIM_ENTER(QORSIM_PTR(handle), segment);
    QORSIM_RAM_DEVICE(handle);
    QORSIM_NOT_WHILE_RECORDING();
    if (segment < 1 || segment > 4) return err::kInvalidSegment;
    dev.modify([&](CameraSettings& s) { s.active_segment = segment; });
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetCameraRamSize(QOR_HANDLE handle, uint32_t* ram_pages, uint16_t* page_size) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_RAM_DEVICE(handle);
    if (ram_pages == nullptr || page_size == nullptr) return err::kNullPointer;
    *ram_pages = model.ram_pages;
    *page_size = static_cast<uint16_t>(std::min<uint32_t>(model.ram_page_size, 0xFFFF));
    return 0;
}

QOR_EXPORT int QOR_GetCameraRamSegmentSize(QOR_HANDLE handle, uint32_t* sizes4) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    QORSIM_RAM_DEVICE(handle);
    if (sizes4 == nullptr) return err::kNullPointer;
    auto s = dev.settings();
    std::copy(s.segment_pages.begin(), s.segment_pages.end(), sizes4);
    return 0;
}

QOR_EXPORT int QOR_SetCameraRamSegmentSize(QOR_HANDLE handle, uint32_t* sizes4) {
    QORSIM_ENTER(QORSIM_PTR(handle), sizes4 ? sizes4[0] : -1, sizes4 ? sizes4[1] : -1, sizes4 ? sizes4[2] : -1,
                 sizes4 ? sizes4[3] : -1);
    QORSIM_RAM_DEVICE(handle);
    if (sizes4 == nullptr) return err::kNullPointer;
    QORSIM_NOT_WHILE_RECORDING();
    uint64_t sum = uint64_t{sizes4[0]} + sizes4[1] + sizes4[2] + sizes4[3];
    if (sum > model.ram_pages) return err::kValueOutOfRange;
    auto old = dev.settings().segment_pages;
    dev.modify([&](CameraSettings& s) { std::copy_n(sizes4, 4, s.segment_pages.begin()); });
    // A segment whose size changed loses its images, as re-partitioning does on the camera.
    std::lock_guard lock(dev.ram().mutex);
    for (size_t i = 0; i < 4; ++i) {
        if (old[i] == sizes4[i]) continue;
        dev.ram().segments[i].clear();
        dev.ram().segments[i].shrink_to_fit();
        dev.ram().ring_start[i] = 0;
    }
    dev.setArmed(false);
    return 0;
}

QOR_EXPORT int QOR_GetNumberOfImagesInSegment(QOR_HANDLE handle, uint16_t segment, uint32_t* valid_images,
                                              uint32_t* max_images) {
    QORSIM_ENTER(QORSIM_PTR(handle), segment);
    QORSIM_RAM_DEVICE(handle);
    if (valid_images == nullptr || max_images == nullptr) return err::kNullPointer;
    if (segment < 1 || segment > 4) return err::kInvalidSegment;
    auto s = dev.settings();
    uint32_t width = s.roi[2] - s.roi[0] + 1;
    uint32_t height = (s.roi[3] - s.roi[1] + 1) * (s.double_image ? 2 : 1);
    std::lock_guard lock(dev.ram().mutex);
    const auto& stored = dev.ram().segments[segment - 1];
    if (!stored.empty()) {
        width = stored.front().width;
        height = stored.front().height;
    }
    *valid_images = static_cast<uint32_t>(stored.size());
    *max_images = CameraRam::capacity(s.segment_pages[segment - 1], model.ram_page_size, width, height);
    return 0;
}
