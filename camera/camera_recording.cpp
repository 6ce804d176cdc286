// Recording into memory, files or camera RAM; waits, counts, triggers and the RAM segments.
#include <array>
#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "camera/camera.h"
#include "camera/camera_recorder.h"

namespace qor {
namespace {

struct ModeRow {
    uint32_t storage_kind;
    uint16_t type;
    uint16_t file_switch;
    bool needs_path;
    uint32_t min_count;
};

// Record modes in the order of their values.
constexpr std::array<ModeRow, 12> kModes = {{
    {QOR_RECORDER_MODE_MEMORY, 1, 0, false, 1},  // sequence
    {QOR_RECORDER_MODE_MEMORY, 1, 0, false, 1},  // sequence_non_blocking
    {QOR_RECORDER_MODE_MEMORY, 2, 0, false, 4},  // ring_buffer
    {QOR_RECORDER_MODE_MEMORY, 3, 0, false, 4},  // fifo
    {QOR_RECORDER_MODE_FILE, 1, 1, true, 1},     // tif
    {QOR_RECORDER_MODE_FILE, 2, 1, true, 1},     // multitif
    {QOR_RECORDER_MODE_FILE, 3, 1, true, 1},     // qorraw
    {QOR_RECORDER_MODE_FILE, 4, 1, true, 1},     // b16
    {QOR_RECORDER_MODE_FILE, 5, 1, true, 1},     // dicom
    {QOR_RECORDER_MODE_FILE, 6, 1, true, 1},     // multidicom
    {QOR_RECORDER_MODE_CAMRAM, 1, 0, false, 1},  // camram_ring
    {QOR_RECORDER_MODE_CAMRAM, 1, 0, false, 1},  // camram_segment
}};

constexpr uint32_t kStorageKindMask = 0x00030000;
constexpr uint32_t kCamRamKind = 0x00030000;

bool isCamRamMode(RecordMode mode) { return mode == RecordMode::camram_ring || mode == RecordMode::camram_segment; }

const CameraException camRamUnsupported(int32_t code) { return CameraException("Camera does not support CamRam!", code); }

}  // namespace

Camera::RecorderPtr Camera::recorder() const {
    std::lock_guard lock(state_mutex_);
    return recorder_;
}

void Camera::replaceRecorder(RecorderPtr next) {
    RecorderPtr old;
    {
        std::lock_guard lock(state_mutex_);
        old = std::move(recorder_);
        recorder_ = std::move(next);
    }
    // `old` is released here, outside the lock; the recorder is deleted when its last user lets go.
}

void Camera::dropRecorder() {
    if (RecorderPtr old = recorder()) {
        if (recorderStatus(old).running) sdk::check(QOR_RecorderStopRecord(old->get(), handle_));
        replaceRecorder(nullptr);
    }
}

Camera::RecordingLayout Camera::layout() const {
    std::lock_guard lock(state_mutex_);
    return layout_;
}

void Camera::setLayout(const RecordingLayout& layout) {
    std::lock_guard lock(state_mutex_);
    layout_ = layout;
}

Camera::RecorderStatus Camera::recorderStatus(const RecorderPtr& rec) const {
    int running = 0;
    RecorderStatus s;
    sdk::check(QOR_RecorderGetStatus(rec->get(), handle_, &running, nullptr, &s.last_error, &s.processed, &s.requested,
                                     nullptr, nullptr, nullptr, nullptr));
    s.running = running != 0;
    return s;
}

uint32_t Camera::recorderMode(const RecorderPtr& rec) {
    uint32_t mode = 0, max_count = 0, requested = 0;
    uint16_t width = 0, height = 0, metadata_lines = 0;
    sdk::check(
        QOR_RecorderGetSettings(rec->get(), handle_, &mode, &max_count, &requested, &width, &height, &metadata_lines));
    return mode;
}

void Camera::throwIfAborted() const {
    if (abort_) throw CameraException("Operation aborted: the camera is being released", errc::kAborted);
}

void Camera::sleepMs(int ms) const { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Camera::handSensorInfoToConverters() {
    SensorInfo info = getSensorInfo();
    for (const auto& [format, handle] : converters_) sdk::check(QOR_ConvertSetSensorInfo(handle, &info));
}

void Camera::record(uint32_t required_recorder_buffer_size, RecordMode mode, const std::filesystem::path& file_path,
                    uint16_t flags) {
    last_image_number_ = 0;
    uint32_t count = required_recorder_buffer_size;
    const bool has_ram = hasRam();
    RecordingLayout next;

    if (isCamRamMode(mode)) {
        if (!has_ram) throw camRamUnsupported(errc::kInvalidArgument);
        uint32_t capacity = getCamRamMaxImages();
        if (capacity == 0)
            throw CameraException("Camera has no memory allocated for the active segment", errc::kNoMemory);
        if (count != capacity)
            std::cout << "CamRam record mode: required_recorder_buffer_size is set automatically to maximum : "
                      << capacity << "\n";
        count = capacity;
        if (hasCaps1(caps1::kMetadata)) {
            uint16_t size = 0, version = 0;
            sdk::check(QOR_SetMetaDataMode(handle_, 1, &size, &version));
        }
        sdk::check(QOR_SetStorageMode(handle_, 0));
    }
    if (has_ram) sdk::check(QOR_SetRecorderSubmode(handle_, mode == RecordMode::camram_segment ? 0 : 1));

    next.raw_format = currentRawFormat();

    if (count == 0) throw CameraException(errc::kInvalidArgument);
    arm();

    if (!hasCaps1(caps1::kNoTimestamp)) {
        uint16_t ts_mode = 0;
        sdk::check(QOR_GetTimestampMode(handle_, &ts_mode));
        next.timestamp_on = ts_mode == 1 || ts_mode == 2;
    }
    if (hasCaps1(caps1::kMetadata)) {
        uint16_t md_mode = 0, size = 0, version = 0;
        sdk::check(QOR_GetMetaDataMode(handle_, &md_mode, &size, &version));
        next.metadata_on = md_mode != 0;
    }

    uint16_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    sdk::check(QOR_GetROI(handle_, &x0, &y0, &x1, &y1));
    next.roi = {x0, y0, x1, y1};
    if (description().wDoubleImageDESC != 0) {
        uint16_t on = 0;
        sdk::check(QOR_GetDoubleImageMode(handle_, &on));
        next.double_image_factor = on ? 2 : 1;
    }

    // The new layout follows the old recorder out, so that a query never pairs the two recordings.
    dropRecorder();
    setLayout(next);
    handSensorInfoToConverters();

    const std::filesystem::path folder = file_path.has_parent_path() ? file_path.parent_path() : file_path;
    const auto mode_index = static_cast<int32_t>(mode);
    if (mode_index < 0 || mode_index > 11) throw CameraException(errc::kInvalidArgument);
    const ModeRow& row = kModes[static_cast<size_t>(mode_index)];
    if (row.needs_path == file_path.empty()) throw CameraException(errc::kBadFilePath);
    if (row.min_count > 1 && count < row.min_count) throw CameraException(errc::kNoMemory);
    uint16_t segment = isCamRamMode(mode) ? getCamRamSegment() : 0;

    QOR_RECORDER handle = nullptr;
    QOR_HANDLE camera = handle_;
    uint32_t capacity = 0;
    const std::string folder_text = folder.string();
    int32_t status = QOR_RecorderCreate(&handle, &camera, nullptr, 1, row.storage_kind | flags,
                                        folder_text.empty() ? nullptr : folder_text.c_str(), &capacity);
    if (!sdk::succeeded(status)) throw CameraException(status);
    auto rec = std::make_shared<Recorder>(handle, handle_, capacity);
    replaceRecorder(rec);

    if (capacity < count) {
        count = capacity;
        std::cout << "Not enough space for your application." << std::endl;
        std::cout << "Reqired number of images get adapted to max possible." << std::endl;
    } else if (count > capacity / 2 && segment == 0) {
        std::cout << "You are above 50% of available space." << std::endl;
    }

    if (segment != 0) {
        sdk::check(QOR_RecorderInit(rec->get(), &count, 1, row.type, 0, nullptr, &segment));
    } else {
        const std::string path_text = file_path.string();
        status = QOR_RecorderInit(rec->get(), &count, 1, row.type, row.file_switch, path_text.c_str(), nullptr);
        if (status != static_cast<int32_t>(0xC0153011)) sdk::check(status);
    }
    applyAutoExposure(true);
    sdk::check(QOR_RecorderStartRecord(rec->get(), handle_));
    for (auto& [format, pending] : auto_range_pending_) pending = true;

    if (mode != RecordMode::sequence) return;
    try {
        for (;;) {
            throwIfAborted();
            RecorderStatus s = recorderStatus(rec);
            if (s.last_error != 0) throw CameraException(static_cast<int32_t>(s.last_error));
            if (!s.running) return;
            sleepMs(1);
        }
    } catch (const CameraException&) {
        // A blocking record that fails must not leave the camera recording behind.
        QOR_RecorderStopRecord(rec->get(), handle_);
        throw;
    }
}

void Camera::stop() {
    if (RecorderPtr rec = recorder()) sdk::check(QOR_RecorderStopRecord(rec->get(), handle_));
}

bool Camera::isRecording() { return recorderRunning(); }

void Camera::waitForFirstImage(bool delay, double timeout_s) {
    RecorderPtr rec = recorder();
    if (!rec)
        throw CameraException("Camera has no recorder yet. Call \"record(...)\" before \"waitForFirstImage(...)\"",
                              errc::kNoRecorder);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        throwIfAborted();
        RecorderStatus s = recorderStatus(rec);
        if (s.processed > 0) return;
        // A recorder that has stopped without an image will never deliver one.
        if (!s.running)
            throw CameraException("Recorder has stopped without recording an image", errc::kNoImage);
        if (delay) sleepMs(1);
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!std::isnan(timeout_s) && elapsed >= timeout_s) throw CameraException(errc::kTimeout);
    }
}

void Camera::waitForNewImage(bool delay, double timeout_s) {
    RecorderPtr rec = recorder();
    if (!rec)
        throw CameraException("Camera has no recorder yet. Call \"record(...)\" before \"waitForNewImage(...)\"",
                              errc::kNoRecorder);
    const uint32_t mode = recorderMode(rec);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        throwIfAborted();
        RecorderStatus s = recorderStatus(rec);
        if (!s.running) return;
        if ((mode & kStorageKindMask) == kCamRamKind && last_image_number_ == 0xFFFFFFFF) return;
        if ((mode & 0x3) == 3) {
            if (s.processed != 0) return;
        } else if (s.processed > last_image_number_) {
            return;
        }
        if (delay) sleepMs(1);
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!std::isnan(timeout_s) && elapsed >= timeout_s) throw CameraException(errc::kTimeout);
    }
}

uint32_t Camera::getRecordedImageCount() {
    RecorderPtr rec = recorder();
    return rec ? recorderStatus(rec).processed : 0;
}

uint32_t Camera::getRecorderBufferSize() {
    RecorderPtr rec = recorder();
    return rec ? recorderStatus(rec).requested : 0;
}

bool Camera::trigger() {
    if (!recorderRunning()) return false;
    uint16_t triggered = 0;
    sdk::check(QOR_ForceTrigger(handle_, &triggered));
    return triggered != 0;
}

void Camera::switchToCamRam() {
    if (!hasRam()) throw camRamUnsupported(errc::kCamRamUnsupported);
    uint16_t segment = 0;
    sdk::check(QOR_GetActiveRamSegment(handle_, &segment));
    switchToCamRam(segment);
}

void Camera::switchToCamRam(uint16_t segment) {
    if (!hasRam()) throw camRamUnsupported(errc::kCamRamUnsupported);
    uint16_t state = 0;
    sdk::check(QOR_GetRecordingState(handle_, &state));
    if (state == 1) sdk::check(QOR_SetRecordingState(handle_, 0));
    sdk::check(QOR_SetActiveRamSegment(handle_, segment));
    active_segment_ = segment;
    RecordingLayout next = layout();
    next.metadata_on = hasCaps1(caps1::kMetadata);
    if (next.metadata_on) {
        uint16_t size = 0, version = 0;
        sdk::check(QOR_SetMetaDataMode(handle_, 1, &size, &version));
    }
    dropRecorder();
    handSensorInfoToConverters();
    // The read-out recorder delivers the camera's current pixel format, as a recording would.
    next.raw_format = currentRawFormat();
    sdk::check(QOR_SetStorageMode(handle_, 0));
    sdk::check(QOR_SetRecorderSubmode(handle_, 1));
    if (!arm(true)) {
        setLayout(next);
        return;
    }

    QOR_RECORDER handle = nullptr;
    QOR_HANDLE camera = handle_;
    uint32_t capacity = 0;
    int32_t status = QOR_RecorderCreate(&handle, &camera, nullptr, 1, QOR_RECORDER_MODE_CAMRAM, nullptr, &capacity);
    if (!sdk::succeeded(status)) throw CameraException(status);
    // The read-out recorder is handed to queries only once it is set up, together with its layout.
    auto rec = std::make_shared<Recorder>(handle, handle_, capacity);
    if (capacity != 0) {
        uint16_t seg = active_segment_;
        sdk::check(QOR_RecorderInit(rec->get(), &capacity, 1, 1, 0, nullptr, &seg));
    }
    uint32_t mode = 0, max_count = 0, requested = 0;
    uint16_t width = 0, height = 0, metadata_lines = 0;
    sdk::check(QOR_RecorderGetSettings(rec->get(), handle_, &mode, &max_count, &requested, &width, &height,
                                       &metadata_lines));
    rec->setCapacity(max_count);
    last_image_number_ = 0;
    next.roi = {1, 1, width, height};
    next.double_image_factor = 1;
    {
        std::lock_guard lock(state_mutex_);
        recorder_ = std::move(rec);
        layout_ = next;
    }
}

uint16_t Camera::getCamRamSegment() {
    if (!hasRam()) throw camRamUnsupported(errc::kCamRamUnsupported);
    uint16_t segment = 0;
    sdk::check(QOR_GetActiveRamSegment(handle_, &segment));
    return segment;
}

uint32_t Camera::getCamRamMaxImages() {
    if (!hasRam()) throw camRamUnsupported(errc::kCamRamUnsupported);
    if (RecorderPtr rec = recorder(); rec && (recorderMode(rec) & kStorageKindMask) == kCamRamKind)
        return rec->capacity();
    uint32_t valid = 0, max = 0;
    sdk::check(QOR_GetNumberOfImagesInSegment(handle_, active_segment_, &valid, &max));
    return max;
}

uint32_t Camera::getCamRamNumImages() {
    if (!hasRam()) throw camRamUnsupported(errc::kCamRamUnsupported);
    RecorderPtr rec = recorder();
    if (!rec) return 0;
    if ((recorderMode(rec) & kStorageKindMask) == kCamRamKind) {
        uint32_t valid = 0, max = 0;
        sdk::check(QOR_GetNumberOfImagesInSegment(handle_, active_segment_, &valid, &max));
        return valid;
    }
    return recorderStatus(rec).processed;
}

void Camera::setCamRamAllocation(std::vector<uint32_t> percents) {
    if (!hasRam()) throw camRamUnsupported(errc::kInvalidArgument);
    uint32_t pages = 0;
    uint16_t page_size = 0;
    sdk::check(QOR_GetCameraRamSize(handle_, &pages, &page_size));
    percents.resize(4, 0);
    uint64_t sum = 0;
    for (uint32_t p : percents) sum += p;
    if (sum > 100) throw CameraException("Sum of percentages is greater than 100%", errc::kInvalidArgument);
    const uint32_t unit = pages / 100;
    std::array<uint32_t, 4> sizes{};
    for (size_t i = 0; i < 4; ++i) sizes[i] = percents[i] * unit;
    sdk::check(QOR_SetCameraRamSegmentSize(handle_, sizes.data()));
}

std::vector<uint32_t> Camera::getCamRamAllocation() {
    if (!hasRam()) throw camRamUnsupported(errc::kInvalidArgument);
    uint32_t pages = 0;
    uint16_t page_size = 0;
    sdk::check(QOR_GetCameraRamSize(handle_, &pages, &page_size));
    std::array<uint32_t, 4> sizes{};
    sdk::check(QOR_GetCameraRamSegmentSize(handle_, sizes.data()));
    const uint32_t unit = pages / 100;
    std::vector<uint32_t> result(4, 0);
    // A RAM of fewer than 100 pages has no whole percent: every share reads 0 instead of dividing by 0.
    if (unit != 0)
        for (size_t i = 0; i < 4; ++i) result[i] = sizes[i] / unit;
    return result;
}

}  // namespace qor
