#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/image.h"
#include "camera/sdk.h"
#include "camera/types.h"

namespace qor {

/// Default of the most pixel memory one image series (`images`) may take: 1 GiB.
inline constexpr uint64_t kDefaultImageSeriesBudgetBytes = uint64_t{1} << 30;

/// One opened camera: construction opens and default-configures a device, destruction closes it.
/// Every failure is thrown as CameraException. Callers serialise the operations that change the
/// camera. The queries getName, getSerial, getInterface, isColored, hasRam, getRawFormat,
/// getDescription, getSensorInfo, getConfiguration, the exposure and delay getters and setters,
/// isRecording, the waits, the recorder counts, trigger, getConvertControl, calculateColorMode and
/// the camera-RAM getters may run beside them: what they read or write of the cached state is
/// either atomic or taken under `state_mutex_` as a whole (the recording layout, the description,
/// the recorder with its capacity, the conversion settings).
class Camera {
public:
    /// Opens the first usable camera matching the selectors (-1: any) and applies the defaults.
    Camera(int16_t interface_selector, int32_t serial_selector);
    /// Stops a running recording and closes converters, recorder and device; never throws.
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Identity and description.
    std::string getName() const;
    uint32_t getSerial() const;
    uint16_t getInterface() const;
    bool isColored() const;
    bool hasRam() const;
    RawFormat getRawFormat();
    Description getDescription();
    SensorInfo getSensorInfo();
    QOR_HANDLE handle() const { return handle_; }

    // Configuration, exposure and delay.
    Configuration getConfiguration();
    void setConfiguration(const Configuration& config);
    void defaultConfiguration();
    double getExposureTime();
    void setExposureTime(double s);
    double getDelayTime();
    void setDelayTime(double s);

    // Hardware I/O signals and auto exposure.
    void configureHWIO_1_exposureTrigger(bool on, SignalPolarity polarity);
    void configureHWIO_2_acquireEnable(bool on, SignalPolarity polarity);
    bool configureHWIO_3_statusBusy(bool on, SignalPolarity polarity, SignalType signal_type);
    bool configureHWIO_4_statusExpos(bool on, SignalPolarity polarity, SignalType signal_type,
                                     SignalTiming signal_timing);
    void configureAutoExposure(RegionType region_type, double min_exposure_s, double max_exposure_s);
    void autoExposureOn();
    void autoExposureOff();

    // Recording and camera RAM.
    void record(uint32_t required_recorder_buffer_size, RecordMode mode, const std::filesystem::path& file_path,
                uint16_t flags);
    void stop();
    bool isRecording();
    void waitForFirstImage(bool delay, double timeout_s);
    void waitForNewImage(bool delay, double timeout_s);
    uint32_t getRecordedImageCount();
    uint32_t getRecorderBufferSize();
    bool trigger();
    void switchToCamRam();
    void switchToCamRam(uint16_t segment);
    uint16_t getCamRamSegment();
    uint32_t getCamRamMaxImages();
    uint32_t getCamRamNumImages();
    void setCamRamAllocation(std::vector<uint32_t> percents);
    std::vector<uint32_t> getCamRamAllocation();

    // Image retrieval and conversion.
    void image(Image& image, uint32_t image_index, DataFormat data_format, const CompressionParams* comp_params);
    void image(Image& image, const Roi& crop, uint32_t image_index, DataFormat data_format,
               const CompressionParams* comp_params);
    void images(std::vector<Image>& images, DataFormat data_format, uint32_t start_index,
                const CompressionParams* comp_params);
    void images(std::vector<Image>& images, const Roi& crop, DataFormat data_format, uint32_t start_index,
                const CompressionParams* comp_params);
    /// Sets the most pixel memory a series of `images` may take; a larger series throws kNoMemory
    /// before anything is allocated.
    void setImageSeriesBudget(uint64_t bytes) { image_series_budget_ = bytes; }
    void imageAverage(Image& image, DataFormat data_format);
    void imageAverage(Image& image, const Roi& crop, DataFormat data_format);
    ConvertControl getConvertControl(DataFormat data_format);
    void setConvertControl(DataFormat data_format, const ConvertControl& variant_settings);
    void loadLut(DataFormat data_format, const std::filesystem::path& lut_file);
    void adaptWhiteBalance(Image& image);
    void adaptWhiteBalance(Image& image, const Roi& crop);
    uint32_t calculateColorMode(const Roi& crop);

    /// Makes running and later waits, blocking records and image-series polls end at once with an
    /// "aborted" error; used before the camera is released while other threads may be waiting.
    void abortWaits() { abort_ = true; }

private:
    // Owns a recorder handle; deleting the last reference deletes the recorder.
    class Recorder;
    using RecorderPtr = std::shared_ptr<Recorder>;

    // What the current recording delivers, captured when it is set up. Replaced as a whole under
    // `state_mutex_`, so a query beside a new recording sees the old or the new one, never a mix.
    struct RecordingLayout {
        RawFormat raw_format = RawFormat::Word;
        std::array<uint64_t, 4> roi{1, 1, 1, 1};  // x0, y0, x1, y1 of the camera at record time
        uint16_t double_image_factor = 1;
        bool metadata_on = false;
        bool timestamp_on = false;
    };

    // The camera-setup words (type 1: word 0 the pixel format flag, word 1 the allowed flags).
    struct CameraSetup {
        uint16_t type = 1;
        std::array<uint32_t, 4> words{};
        uint16_t length = 4;
    };

    struct RecorderStatus {
        bool running = false;
        uint32_t last_error = 0;
        uint32_t processed = 0;
        uint32_t requested = 0;
    };

    // Open and close.
    void openDevice(int16_t interface_selector, int32_t serial_selector);
    void setUpConverters();
    void close() noexcept;

    // Cached description record and its capability tests.
    QOR_Description description() const;
    void readDescription();
    uint32_t caps1() const;
    uint32_t caps3() const;
    bool hasCaps1(uint32_t bit) const { return (caps1() & bit) != 0; }
    bool hasCaps3(uint32_t bit) const { return (caps3() & bit) != 0; }
    uint32_t bitResolutionFlag() const;

    // Configuration helpers.
    // Arms and re-reads the description when the health word asks for it; with `empty_segment_ok`
    // an empty camera-RAM segment is answered false instead of thrown.
    bool arm(bool empty_segment_ok = false);
    void setDelayExposure(double delay_s, double exposure_s);
    CameraSetup readCameraSetup() const;
    // The raw format the camera delivers now: byte for 8-bit pixels, else word.
    RawFormat currentRawFormat() const;

    // Recorder helpers.
    RecorderPtr recorder() const;
    void replaceRecorder(RecorderPtr next);
    // Stops a running recorder (a failing stop is thrown) and lets it go.
    void dropRecorder();
    // False also when the status cannot be read.
    bool recorderRunning(const RecorderPtr& rec) const;
    bool recorderRunning() const;
    RecordingLayout layout() const;
    void setLayout(const RecordingLayout& layout);
    RecorderStatus recorderStatus(const RecorderPtr& rec) const;
    uint32_t recorderMode(const RecorderPtr& rec);
    void applyAutoExposure(bool force);
    void handSensorInfoToConverters();
    void throwIfAborted() const;
    void sleepMs(int ms) const;

    // Image helpers.
    DataFormat resolveFormat(DataFormat format) const;
    Roi fullCrop() const;
    void checkCrop(const Roi& crop) const;
    void copyImage(Image& image, const Roi& crop, uint32_t image_index, DataFormat format,
                   const CompressionParams* comp_params);
    void convertImage(Image& image, DataFormat format, const Roi& crop);
    void imagesInto(std::vector<Image>& images, const Roi& crop, bool cropped, DataFormat format, uint32_t start_index,
                    const CompressionParams* comp_params);
    void averageInto(Image& image, const Roi& crop, DataFormat format);
    // Throws kNoMemory when `count` images of `image_bytes` each exceed the series budget.
    void checkSeriesBudget(uint64_t count, uint64_t image_bytes) const;
    void autoRange(DataFormat format, const Image& image);
    bool clampColorLimits(DataFormat format);
    void applyConvertControl(DataFormat format);
    QOR_CONVERTER converter(DataFormat format) const;
    uint32_t conversionFlags(DataFormat format, const ConvertControl& control) const;
    void adaptWhiteBalanceIn(Image& image, const Roi& crop);

    // HWIO helper shared by the four signal operations.
    bool configureHwio(uint16_t index, uint16_t needed, const char* unsupported, bool on, SignalPolarity polarity,
                       std::optional<SignalType> signal_type, SignalTiming signal_timing);

    QOR_HANDLE handle_ = nullptr;
    std::string name_;
    uint16_t interface_type_ = 0xFFFF;
    QOR_CameraType camera_type_{};

    // Guards the members below that queries read while another thread changes them.
    mutable std::mutex state_mutex_;
    QOR_Description description_{};
    RecorderPtr recorder_;
    RecordingLayout layout_;
    AutoExposure auto_exposure_;
    bool auto_exposure_on_ = false;
    std::map<DataFormat, ConvertControl> convert_controls_;

    // Held while the stored conversion settings and a converter's display record are brought in
    // step (a change handing its settings over, or getConvertControl reading them back); taken
    // before `state_mutex_`.
    std::mutex display_mutex_;
    std::map<DataFormat, QOR_CONVERTER> converters_;
    std::map<DataFormat, bool> auto_range_pending_;

    std::atomic<uint32_t> last_image_number_{0};
    std::atomic<uint16_t> active_segment_{1};
    std::atomic<bool> abort_{false};
    std::atomic<uint64_t> image_series_budget_{kDefaultImageSeriesBudgetBytes};
};

}  // namespace qor
