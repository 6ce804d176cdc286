#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_exception.h"
#include "camera/image.h"
#include "camera/types.h"

/// Stands between one camera's HTTP server and its qor::Camera: serialises the operations that change
/// the camera or move image data, and turns camera errors into false or empty results plus a last
/// error (code and failed operation) and one console line.
class CameraControl {
public:
    struct LastError {
        int32_t code = 0;
        std::string where;
    };

    /// Opens the next camera the SDK can open; throws qor::CameraException with the code of the
    /// failed open.
    CameraControl(int16_t interface_selector, int32_t serial_selector);
    /// Releases the camera (ends waits on it first).
    ~CameraControl();
    CameraControl(const CameraControl&) = delete;
    CameraControl& operator=(const CameraControl&) = delete;

    /// Opens a camera and applies its defaults; false (and a last error) when that fails.
    bool open(int16_t interface_selector, int32_t serial_selector);
    /// Releases the camera and opens the next one that can be opened.
    bool reopen();
    /// Ends running waits and makes every later operation answer as not open; used at shutdown.
    void interrupt();

    std::optional<LastError> getLastError() const;
    void clearLastError();

    // Identity and description.
    std::optional<std::string> getName();
    std::optional<uint32_t> getSerial();
    std::optional<qor::RawFormat> getRawFormat();
    std::optional<uint16_t> getInterface();
    std::optional<bool> isColored();
    std::optional<qor::Description> getDescription();
    std::optional<qor::SensorInfo> getSensorInfo();
    std::optional<QOR_Description> getQORDescription();

    // Configuration.
    bool defaultConfiguration();
    std::optional<qor::Configuration> getConfiguration();
    bool setConfiguration(const qor::Configuration& config);
    std::optional<double> getExposureTime();
    bool setExposureTime(double s);
    std::optional<double> getDelayTime();
    bool setDelayTime(double s);

    // Recording.
    bool record(uint32_t image_count, qor::RecordMode mode, const std::filesystem::path& file_path, uint16_t flags);
    bool stop();
    std::optional<bool> isRecording();
    bool waitForFirstImage(bool delay, double timeout_s);
    bool waitForNewImage(bool delay, double timeout_s);
    std::optional<uint64_t> getRecordedImageCount();
    std::optional<uint64_t> getRecorderBufferSize();
    std::optional<bool> trigger();

    // Auto exposure and hardware signals.
    bool autoExposureOn();
    bool autoExposureOff();
    bool configureAutoExposure(qor::RegionType region_type, double min_exposure_s, double max_exposure_s);
    bool configureHWIO_1_exposureTrigger(bool on, qor::SignalPolarity polarity);
    bool configureHWIO_2_acquireEnable(bool on, qor::SignalPolarity polarity);
    std::optional<bool> configureHWIO_3_statusBusy(bool on, qor::SignalPolarity polarity, qor::SignalType signal_type);
    std::optional<bool> configureHWIO_4_statusExpos(bool on, qor::SignalPolarity polarity, qor::SignalType signal_type,
                                                    qor::SignalTiming signal_timing);

    // Conversion settings.
    std::optional<qor::ConvertControl> getConvertControl(qor::DataFormat data_format);
    bool setConvertControl(qor::DataFormat data_format, const qor::ConvertControl& variant_settings);
    bool loadLut(qor::DataFormat data_format, const std::filesystem::path& lut_file);
    bool adaptWhiteBalance(qor::Image& image);
    bool adaptWhiteBalance(qor::Image& image, const qor::Roi& crop);
    std::optional<uint32_t> calculateColorMode(const qor::Roi& crop);

    // Images. A given `raw_format` receives the raw format of the recording the images were read
    // from, asked under the same lock: a record that follows cannot change it in between.
    bool image(qor::Image& image_ref, uint32_t image_index, qor::DataFormat data_format,
               const qor::CompressionParams* comp_params, qor::RawFormat* raw_format = nullptr);
    bool image(qor::Image& image_ref, const qor::Roi& crop, uint32_t image_index, qor::DataFormat data_format,
               const qor::CompressionParams* comp_params, qor::RawFormat* raw_format = nullptr);
    bool images(std::vector<qor::Image>& images, qor::DataFormat data_format, uint32_t start_index,
                const qor::CompressionParams* comp_params, qor::RawFormat* raw_format = nullptr);
    bool images(std::vector<qor::Image>& images, const qor::Roi& crop, qor::DataFormat data_format,
                uint32_t start_index, const qor::CompressionParams* comp_params, qor::RawFormat* raw_format = nullptr);
    bool imageAverage(qor::Image& image_ref, qor::DataFormat data_format, qor::RawFormat* raw_format = nullptr);
    bool imageAverage(qor::Image& image_ref, const qor::Roi& crop, qor::DataFormat data_format,
                      qor::RawFormat* raw_format = nullptr);

    // Camera RAM.
    std::optional<bool> hasRam();
    bool switchToCamRam();
    bool switchToCamRam(uint16_t segment);
    std::optional<uint16_t> getCamRamSegment();
    std::optional<uint32_t> getCamRamMaxImages();
    std::optional<uint32_t> getCamRamNumImages();
    bool setCamRamAllocation(const std::vector<uint32_t>& percents);
    std::optional<std::vector<uint32_t>> getCamRamAllocation();

    /// Runs a query on the camera beside the other operations (without the operation lock), for
    /// consumers that are not a client's request: a failure records no last error and prints nothing.
    /// Empty when the camera is not open or the query throws a camera error.
    template <class F>
    auto observe(F&& query) -> std::optional<decltype(query(std::declval<qor::Camera&>()))> {
        if (releasing_) return std::nullopt;
        std::shared_lock guard(guard_);
        if (!opened_ || !cam_) return std::nullopt;
        try {
            return query(*cam_);
        } catch (const qor::CameraException&) {
            return std::nullopt;
        }
    }

private:
    enum class Lock { none, exclusive };

    /// The operation pattern: not open gives an empty result; a camera error is recorded as the last
    /// error under `where` and printed after `console_prefix`; other exceptions propagate.
    template <class F>
    auto attempt(Lock lock, const char* where, const char* console_prefix, F&& body)
        -> std::optional<decltype(body(std::declval<qor::Camera&>()))>;
    template <class F>
    bool perform(Lock lock, const char* where, const char* console_prefix, F&& body);

    void release();
    void recordFailure(int32_t code, const char* where);

    std::unique_ptr<qor::Camera> cam_;
    std::mutex mutex_;
    std::atomic<bool> opened_{false};
    mutable std::mutex error_mutex_;
    std::optional<LastError> last_error_;
    std::mutex description_mutex_;
    QOR_Description description_{};

    // Every operation holds the guard shared; releasing or replacing the camera holds it exclusively,
    // so no operation ever uses a camera that is being destroyed.
    std::shared_mutex guard_;
    std::atomic<bool> releasing_{false};
    std::atomic<bool> interrupted_{false};
};
