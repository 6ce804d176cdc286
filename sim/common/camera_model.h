#pragma once

// The simulated cameras: what a device is (from the device file), the state it keeps, and the
// registry of open handles. Used by the simulated camera SDK and the simulated recorder.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "camera/vendor/qor_camsys.h"

namespace qorsim {

/// Acquisition settings of a device, as the SDK's setters store them.
struct CameraSettings {
    uint32_t delay = 0;
    uint32_t exposure = 10000;
    uint16_t delay_base = 0;
    uint16_t exposure_base = 1;
    std::array<uint16_t, 4> roi{1, 1, 1, 1};
    uint16_t timestamp_mode = 0;
    uint32_t pixel_rate = 0;
    uint16_t conversion_factor = 0;
    uint16_t trigger_mode = 0;
    uint16_t acquire_mode = 0;
    uint32_t acquire_count = 0;
    uint16_t metadata_mode = 0;
    uint16_t noise_filter_mode = 0;
    uint16_t binning_horz = 1;  // factor, with 0x1000 set for average binning
    uint16_t binning_vert = 1;
    uint16_t bit_alignment = 0;  // 0 most significant bit, 1 least significant bit
    uint16_t double_image = 0;
    std::array<uint32_t, 4> setup{0, 0, 0, 0};
    uint16_t storage_mode = 0;
    uint16_t recorder_submode = 1;
    uint16_t active_segment = 1;
    std::array<uint32_t, 4> segment_pages{0, 0, 0, 0};
    std::array<QOR_Signal, 4> hwio{};

    uint64_t delayNs() const;
    uint64_t exposureNs() const;
    uint16_t binningFactorHorz() const { return binning_horz & 0x0FFF; }
    uint16_t binningFactorVert() const { return binning_vert & 0x0FFF; }
    bool averageBinning() const { return (binning_horz & 0x1000) != 0; }
};

/// One camera of the device file: identity, records, capabilities and defaults.
struct CameraSpec {
    uint32_t serial = 0;
    std::string name;
    uint16_t interface_type = 8;
    uint32_t state_flags = 1;
    QOR_Description description{};
    QOR_DescriptionEx3 description_ex{};
    QOR_CameraType camera_type{};
    uint16_t ir_sensitivity = 0;
    uint16_t sensor_format = 0;
    uint16_t dark_offset = 100;
    std::array<double, 9> color_matrix{1, 0, 0, 0, 1, 0, 0, 0, 1};
    uint32_t setup_allowed = 0;
    uint32_t health_status = 0;
    int16_t temperature_c = 25;
    uint32_t ram_page_size = 0;  // pixels per camera RAM page
    uint32_t ram_pages = 0;
    uint64_t memory_budget_bytes = 1ull << 30;
    double external_trigger_hz = 10.0;
    std::array<QOR_SignalDescriptor, 4> hwio_descriptors{};
    uint16_t hwio_count = 0;
    CameraSettings defaults;

    bool isColor() const { return (description.wSensorTypeDESC & 1) != 0; }
    bool has(uint32_t caps1_bit) const { return (description.dwGeneralCapsDESC1 & caps1_bit) != 0; }
    bool has3(uint32_t caps3_bit) const { return (description.dwGeneralCapsDESC3 & caps3_bit) != 0; }
    bool hasCamRam() const { return (description.dwGeneralCapsDESC1 & 0x00001000) == 0 && ram_pages > 0; }
    bool hasTimestamp() const { return (description.dwGeneralCapsDESC1 & 0x00000100) == 0; }
    /// Bits per stored pixel for the current pixel format: 8 when the setup selects 8-bit data.
    uint16_t storageBits(const CameraSettings& s) const;
    /// Significant bits of the pixel data for the current pixel format.
    uint16_t dataBits(const CameraSettings& s) const;
    /// Allowed binning factors of one axis.
    std::vector<uint16_t> binningFactors(bool horizontal) const;
    /// Exposure and delay limits in nanoseconds, honouring IR sensitivity.
    uint64_t minExposureNs() const;
    uint64_t maxExposureNs() const;
    uint64_t minDelayNs() const;
    uint64_t maxDelayNs() const;
    /// Largest image size of the sensor format in unbinned pixels.
    uint16_t maxWidth() const;
    uint16_t maxHeight() const;
};

/// A time in nanoseconds as an SDK value and time base (below 4 ms ns, below 4 s us, else ms).
void splitSdkTime(uint64_t ns, uint32_t& value, uint16_t& base);

/// Parses one camera entry of the device file (starting from its "template", "mono" by default).
/// Throws std::runtime_error with a readable message for a malformed entry.
CameraSpec parseCameraSpec(const nlohmann::json& entry);
/// The built-in camera templates by name ("mono", "color").
nlohmann::json cameraTemplate(const std::string& name);

/// An image kept in the camera's own RAM.
struct StoredImage {
    std::vector<uint8_t> pixels;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 16;
    uint32_t image_number = 0;
    QOR_Metadata metadata{};
    QOR_Timestamp timestamp{};
};

/// The camera's RAM segments; images take host memory only once stored.
class CameraRam {
public:
    std::mutex mutex;
    std::array<std::vector<StoredImage>, 4> segments;
    std::array<size_t, 4> ring_start{0, 0, 0, 0};  // oldest image of a segment written as a ring

    /// Images of w × h pixels that fit into a segment of that many pages.
    static uint32_t capacity(uint32_t pages, uint32_t page_size, uint32_t width, uint32_t height);
};

/// One simulated camera with its current state; shared by every handle opened on it.
class CameraDevice {
public:
    CameraDevice(CameraSpec model, uint16_t device_number);

    const CameraSpec& model() const { return model_; }
    uint16_t deviceNumber() const { return device_number_; }

    /// A copy of the current settings.
    CameraSettings settings() const;
    /// Runs f on the settings under the device lock and returns its result.
    template <class F>
    auto modify(F&& f) {
        std::lock_guard lock(mutex_);
        return f(settings_);
    }
    void resetSettings();

    bool armed() const { return armed_; }
    void setArmed(bool armed) { armed_ = armed; }
    bool recording() const { return recording_; }
    void setRecording(bool on);

    /// True once unplugged, or once the planned time after the library's initialisation has passed.
    bool unplugged() const;
    void unplug() { unplugged_ = true; }
    /// Plans the unplugging: after that many further calls on the device's handles, or that many
    /// seconds after the library was initialised. Set before the device is shared.
    void planUnplug(std::optional<uint64_t> after_calls, std::optional<double> after_s);
    /// Counts one call on a handle of the device towards a planned unplugging.
    void noteCall();

    /// Software triggers: ForceTrigger adds one, the recorder takes them.
    void pushTrigger();
    /// Waits for a trigger until the deadline or until `stop` is set; true when one was taken.
    bool takeTrigger(std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& stop);
    /// Wakes every waiter of takeTrigger (used when a recording stops).
    void wakeTriggerWaiters();

    CameraRam& ram() { return ram_; }

private:
    CameraSpec model_;
    uint16_t device_number_;
    mutable std::mutex mutex_;
    CameraSettings settings_;
    std::atomic<bool> armed_{false};
    std::atomic<bool> recording_{false};
    mutable std::atomic<bool> unplugged_{false};
    std::atomic<int64_t> calls_left_{-1};  // -1: no unplugging planned by calls
    double unplug_after_s_ = -1;           // -1: none planned by time
    std::mutex trigger_mutex_;
    std::condition_variable trigger_cv_;
    uint32_t pending_triggers_ = 0;
    CameraRam ram_;
};

/// The devices of the current device set, in scan order (rebuilt when the set changes).
std::vector<std::shared_ptr<CameraDevice>> cameraDevices();

/// Result of a handle look-up: the device, or the status to return.
struct HandleLookup {
    std::shared_ptr<CameraDevice> device;
    int32_t status = 0;
};

/// Opens the device of that number: marks it in use (also for other processes) and makes a handle.
int32_t openCamera(uint16_t device_number, QOR_HANDLE* handle);
/// Closes a handle and releases the device.
int32_t closeCamera(QOR_HANDLE handle);
/// The device of an open handle; status kInvalidHandle or kDisconnected otherwise.
HandleLookup lookupHandle(QOR_HANDLE handle);
/// True when the device is open in this or another process.
bool cameraInUse(const CameraDevice& device);

/// The SDK's library state.
bool sdkInitialized();
void setSdkInitialized(bool on);
/// Status QOR_InitializeLib returns, from the device file's "sdk" object ("init_status").
int32_t sdkInitStatus();

}  // namespace qorsim
