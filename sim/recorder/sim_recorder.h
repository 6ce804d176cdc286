#pragma once

// One simulated recorder: takes images of one camera in real time on its own thread and keeps them
// in PC memory, in files or in the camera's RAM.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "camera/vendor/qor_recorder.h"
#include "sim/common/camera_model.h"
#include "sim/recorder/file_writers.h"
#include "sim/recorder/frame_source.h"

namespace qorsim {

/// One image held by a memory recording.
struct StoredFrame {
    std::vector<uint8_t> pixels;
    FrameInfo info;
};

/// Recorder status as the status call reports it.
struct RecorderState {
    bool running = false;
    bool auto_exposure_on = false;
    uint32_t last_error = 0;
    uint32_t processed = 0;
    uint32_t requested = 0;
    bool buffer_full = false;
    bool fifo_overflow = false;
    uint32_t start_ms = 0;
    uint32_t stop_ms = 0;
};

class SimRecorder {
public:
    /// Throws the status to report when the recorder cannot be created.
    SimRecorder(std::shared_ptr<CameraDevice> device, QOR_HANDLE camera, uint32_t mode, const char* folder);
    ~SimRecorder();

    QOR_HANDLE camera() const { return camera_; }
    uint32_t capacity() const { return capacity_; }

    int32_t init(uint32_t count, uint16_t type, uint16_t file_switch, const char* file, const uint16_t* segment);
    int32_t start();
    int32_t stop();
    RecorderState state();
    void settings(uint32_t& mode, uint32_t& max_count, uint32_t& requested, uint16_t& width, uint16_t& height);

    int32_t copy(uint32_t index, const uint16_t crop[4], void* buffer, uint32_t* image_number, QOR_Metadata* metadata,
                 QOR_Timestamp* timestamp);
    int32_t copyCompressed(uint32_t index, const uint16_t crop[4], uint8_t* buffer, uint32_t* image_number,
                           QOR_Metadata* metadata, QOR_Timestamp* timestamp);
    int32_t copyAverage(uint32_t start, uint32_t stop, const uint16_t crop[4], void* buffer);
    void setCompression(const QOR_CompressionParams& params);

    void setAutoExposureRegion(uint16_t region) { ae_region_ = region; }
    int32_t setAutoExposure(bool on, uint32_t min, uint32_t max, uint16_t base);

private:
    void run();
    void store(StoredFrame frame);
    void finishRecording(uint32_t error);
    bool waitForNextExposure(std::chrono::steady_clock::time_point& next, double period_s, uint16_t trigger_mode);
    void adjustExposure(const StoredFrame& frame);
    // Fetches the frame of an index (0-based, 0xFFFFFFFF: the newest) into `out`; false when none.
    int32_t fetch(uint32_t index, StoredFrame& out, bool take);
    int32_t checkCrop(const uint16_t crop[4], const FrameInfo& info) const;
    uint32_t elapsedMs() const;

    std::shared_ptr<CameraDevice> device_;
    QOR_HANDLE camera_;
    uint32_t kind_;
    std::filesystem::path folder_;
    uint32_t capacity_ = 0;
    FrameGeometry geometry_;  // of the images stored or to be taken
    const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();

    std::mutex mutex_;
    std::condition_variable wake_;
    bool initialized_ = false;
    uint16_t type_ = 0;
    uint16_t segment_ = 0;
    RecorderState state_;
    bool finishing_ = false;  // a stop is under way: the status still reports running
    std::deque<StoredFrame> frames_;  // memory kinds
    size_t ring_next_ = 0;           // ring buffer: slot of the next image once full
    std::unique_ptr<ImageFileWriter> writer_;
    std::optional<QOR_CompressionParams> compression_;
    std::atomic<bool> stop_requested_{false};
    std::thread thread_;

    // The recording thread reads the switch on every image without the lock; the limits are read
    // together under mutex_.
    std::atomic<uint16_t> ae_region_{0};
    std::atomic<bool> ae_on_{false};
    uint64_t ae_min_ns_ = 0;
    uint64_t ae_max_ns_ = 0;
};

/// Registry of live recorder handles, so that unknown handles are refused instead of dereferenced.
std::shared_ptr<SimRecorder> findRecorder(QOR_RECORDER handle);
QOR_RECORDER registerRecorder(std::shared_ptr<SimRecorder> recorder);
std::shared_ptr<SimRecorder> unregisterRecorder(QOR_RECORDER handle);

}  // namespace qorsim
