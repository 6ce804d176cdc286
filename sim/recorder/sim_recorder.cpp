#include "sim/recorder/sim_recorder.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

#include "sim/common/device_set.h"
#include "sim/common/errors.h"

namespace qorsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kFrameOverheadBytes = 256;

QOR_Timestamp wallClockStamp(uint32_t counter) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    QOR_Timestamp ts{};
    ts.wSize = sizeof ts;
    ts.dwImgCounter = counter;
    ts.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    ts.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    ts.wDay = static_cast<uint16_t>(tm.tm_mday);
    ts.wHour = static_cast<uint16_t>(tm.tm_hour);
    ts.wMinute = static_cast<uint16_t>(tm.tm_min);
    ts.wSecond = static_cast<uint16_t>(tm.tm_sec);
    ts.dwMicroSeconds = static_cast<uint32_t>(us);
    return ts;
}

// The camera's metadata record of one image, as the recording's settings give it.
QOR_Metadata metadataRecord(const CameraSpec& model, const CameraSettings& s, const FrameGeometry& g, uint32_t number,
                            const QOR_Timestamp& ts, double period_s) {
    QOR_Metadata m{};
    m.wSize = sizeof m;
    m.wVersion = 1;
    m.bIMAGE_COUNTER_BCD[0] = bcd(number % 100);
    m.bIMAGE_COUNTER_BCD[1] = bcd(number / 100 % 100);
    m.bIMAGE_COUNTER_BCD[2] = bcd(number / 10000 % 100);
    m.bIMAGE_COUNTER_BCD[3] = bcd(number / 1000000 % 100);
    m.bIMAGE_TIME_US_BCD[0] = bcd(ts.dwMicroSeconds % 100);
    m.bIMAGE_TIME_US_BCD[1] = bcd(ts.dwMicroSeconds / 100 % 100);
    m.bIMAGE_TIME_US_BCD[2] = bcd(ts.dwMicroSeconds / 10000 % 100);
    m.bIMAGE_TIME_SEC_BCD = bcd(ts.wSecond);
    m.bIMAGE_TIME_MIN_BCD = bcd(ts.wMinute);
    m.bIMAGE_TIME_HOUR_BCD = bcd(ts.wHour);
    m.bIMAGE_TIME_DAY_BCD = bcd(ts.wDay);
    m.bIMAGE_TIME_MON_BCD = bcd(ts.wMonth);
    m.bIMAGE_TIME_YEAR_BCD = bcd(ts.wYear % 100);
    m.wEXPOSURE_TIME_BASE = s.exposure_base;
    m.dwEXPOSURE_TIME = s.exposure;
    m.dwFRAMERATE_MILLIHZ = period_s > 0 ? static_cast<uint32_t>(std::lround(1000.0 / period_s)) : 0;
    m.sSENSOR_TEMPERATURE = model.temperature_c;
    m.wIMAGE_SIZE_X = static_cast<uint16_t>(g.width);
    m.wIMAGE_SIZE_Y = static_cast<uint16_t>(g.height);
    m.bBINNING_X = static_cast<uint8_t>(g.bin_h);
    m.bBINNING_Y = static_cast<uint8_t>(g.bin_v);
    m.dwSENSOR_READOUT_FREQUENCY = s.pixel_rate;
    m.wSENSOR_CONV_FACTOR = s.conversion_factor;
    m.dwCAMERA_SERIAL_NO = model.serial;
    m.wCAMERA_TYPE = model.camera_type.wCamType;
    m.bBIT_RESOLUTION = static_cast<uint8_t>(g.data_bits);
    m.wDARK_OFFSET = g.dark_offset;
    m.bTRIGGER_MODE = static_cast<uint8_t>(s.trigger_mode);
    m.bDOUBLE_IMAGE_MODE = static_cast<uint8_t>(s.double_image);
    m.bIMAGE_TYPE = g.color ? 2 : 1;
    m.wCOLOR_PATTERN = model.description.wColorPatternDESC;
    m.wCAMERA_SUBTYPE = model.camera_type.wCamSubType;
    m.wIMAGE_SIZE_X_Offset = static_cast<uint16_t>(g.roi_x0 - 1);
    m.wIMAGE_SIZE_Y_Offset = static_cast<uint16_t>(g.roi_y0 - 1);
    return m;
}


// Copies the crop of a stored image (1-based, inclusive) into a packed buffer.
void copyCrop(const uint8_t* pixels, uint32_t width, uint16_t bytes_per_pixel, const uint16_t crop[4], void* out) {
    const size_t row_bytes = size_t{static_cast<uint32_t>(crop[2] - crop[0] + 1)} * bytes_per_pixel;
    auto* dst = static_cast<uint8_t*>(out);
    for (uint32_t y = crop[1]; y <= crop[3]; ++y, dst += row_bytes)
        std::memcpy(dst, pixels + (size_t{y - 1} * width + (crop[0] - 1u)) * bytes_per_pixel, row_bytes);
}

}  // namespace

SimRecorder::SimRecorder(std::shared_ptr<CameraDevice> device, QOR_HANDLE camera, uint32_t mode, const char* folder)
    : device_(std::move(device)), camera_(camera), kind_(mode & 0x3) {
    const CameraSpec& model = device_->model();
    const CameraSettings settings = device_->settings();
    geometry_ = frameGeometry(model, settings);
    if (kind_ == 0) throw err::kRecInvalidMode;
    if (geometry_.pixelCount() == 0) throw err::kRecInvalidArgument;
    const uint64_t image_bytes = geometry_.bytes();
    switch (kind_) {
        case QOR_RECORDER_MODE_FILE: {
            if (folder == nullptr || *folder == '\0') throw err::kRecFolderNotWritable;
            folder_ = folder;
            std::error_code ec;
            if (!std::filesystem::is_directory(folder_, ec) || ::access(folder, W_OK) != 0)
                throw err::kRecFolderNotWritable;
            struct statvfs fs {};
            if (::statvfs(folder, &fs) != 0) throw err::kRecFolderNotWritable;
            const uint64_t free_bytes = uint64_t{fs.f_bavail} * fs.f_frsize;
            capacity_ = static_cast<uint32_t>(std::min<uint64_t>(
                free_bytes / imageFileBytes(QOR_RECORDER_FILE_QORRAW, geometry_.width, geometry_.height,
                                            geometry_.storage_bits),
                0xFFFFFFFF));
            break;
        }
        case QOR_RECORDER_MODE_MEMORY:
            capacity_ = static_cast<uint32_t>(
                std::min<uint64_t>(model.memory_budget_bytes / (image_bytes + kFrameOverheadBytes), 0xFFFFFFFF));
            break;
        case QOR_RECORDER_MODE_CAMRAM: {
            if (!model.hasCamRam()) throw err::kNotSupported;
            segment_ = settings.active_segment;
            std::lock_guard lock(device_->ram().mutex);
            const auto& stored = device_->ram().segments[segment_ - 1];
            if (!stored.empty()) {
                // A segment that holds images is read out in their shape.
                geometry_.width = stored.front().width;
                geometry_.height = stored.front().height;
                geometry_.roi_height = geometry_.height;
                geometry_.storage_bits = stored.front().bits;
            }
            capacity_ = CameraRam::capacity(settings.segment_pages[segment_ - 1], model.ram_page_size, geometry_.width,
                                            geometry_.height);
            break;
        }
        default:
            throw err::kRecInvalidMode;
    }
}

SimRecorder::~SimRecorder() { stop(); }

uint32_t SimRecorder::elapsedMs() const {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - created_).count());
}

int32_t SimRecorder::init(uint32_t count, uint16_t type, uint16_t file_switch, const char* file,
                          const uint16_t* segment) {
    std::lock_guard lock(mutex_);
    if (state_.running) return err::kRecRunning;
    if (count == 0) return err::kRecInvalidArgument;
    std::unique_ptr<ImageFileWriter> writer;
    switch (kind_) {
        case QOR_RECORDER_MODE_MEMORY:
            if (type < 1 || type > 3) return err::kRecInvalidMode;
            if (file != nullptr && *file != '\0') return err::kRecInvalidArgument;
            if (count > capacity_) return err::kRecNoMemory;
            break;
        case QOR_RECORDER_MODE_FILE:
            if (type < 1 || type > 6) return err::kRecInvalidMode;
            if (file_switch == 0 || file == nullptr || *file == '\0') return err::kRecInvalidArgument;
            if (count > capacity_) return err::kRecDiskFull;
            try {
                writer = makeImageFileWriter(type, file, count);
            } catch (const FileWriteError& e) {
                return e.status();
            }
            break;
        case QOR_RECORDER_MODE_CAMRAM: {
            if (type != 1) return err::kRecInvalidMode;
            if (segment == nullptr || *segment < 1 || *segment > 4) return err::kInvalidSegment;
            segment_ = *segment;
            const CameraSettings s = device_->settings();
            std::lock_guard ram_lock(device_->ram().mutex);
            const auto& stored = device_->ram().segments[segment_ - 1];
            uint32_t width = stored.empty() ? geometry_.width : stored.front().width;
            uint32_t height = stored.empty() ? geometry_.height : stored.front().height;
            capacity_ = CameraRam::capacity(s.segment_pages[segment_ - 1], device_->model().ram_page_size, width, height);
            if (count > capacity_) return err::kRecNoMemory;
            state_.processed = static_cast<uint32_t>(stored.size());
            break;
        }
        default:
            return err::kRecInvalidMode;
    }
    initialized_ = true;
    type_ = type;
    writer_ = std::move(writer);
    frames_.clear();
    ring_next_ = 0;
    state_.requested = count;
    if (kind_ != QOR_RECORDER_MODE_CAMRAM) state_.processed = 0;
    state_.last_error = 0;
    state_.buffer_full = false;
    state_.fifo_overflow = false;
    return 0;
}

int32_t SimRecorder::start() {
    {
        std::lock_guard lock(mutex_);
        if (state_.running) return err::kRecRunning;
    }
    if (thread_.joinable()) thread_.join();  // the thread of an earlier recording that has ended
    std::lock_guard lock(mutex_);
    if (!initialized_) return err::kRecNotInitialized;
    if (device_->unplugged()) return err::kRecCameraGone;
    if (device_->recording()) return err::kCameraBusy;
    if (!device_->armed()) return err::kRecNotArmed;
    const CameraSettings settings = device_->settings();
    geometry_ = frameGeometry(device_->model(), settings);
    if (kind_ == QOR_RECORDER_MODE_CAMRAM) {
        std::lock_guard ram_lock(device_->ram().mutex);
        device_->ram().segments[segment_ - 1].clear();
        device_->ram().ring_start[segment_ - 1] = 0;
    }
    frames_.clear();
    ring_next_ = 0;
    state_.running = true;
    state_.processed = 0;
    state_.last_error = 0;
    state_.buffer_full = false;
    state_.fifo_overflow = false;
    state_.start_ms = elapsedMs();
    state_.stop_ms = 0;
    stop_requested_ = false;
    device_->setRecording(true);
    thread_ = std::thread(&SimRecorder::run, this);
    return 0;
}

int32_t SimRecorder::stop() {
    stop_requested_ = true;
    wake_.notify_all();
    device_->wakeTriggerWaiters();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    finishRecording(0);
    return 0;
}

void SimRecorder::finishRecording(uint32_t error) {
    {
        std::lock_guard lock(mutex_);
        if (!state_.running || finishing_) return;
        finishing_ = true;
    }
    // The camera leaves its recording state and the files are complete before the status reports
    // the stop: a client that sees it may at once arm the camera again or read the files.
    device_->setRecording(false);
    std::lock_guard lock(mutex_);
    if (writer_) writer_->finish();
    state_.running = false;
    finishing_ = false;
    if (error != 0) state_.last_error = error;
    state_.stop_ms = elapsedMs();
}

RecorderState SimRecorder::state() {
    std::lock_guard lock(mutex_);
    RecorderState s = state_;
    s.auto_exposure_on = ae_on_;
    return s;
}

void SimRecorder::settings(uint32_t& mode, uint32_t& max_count, uint32_t& requested, uint16_t& width,
                           uint16_t& height) {
    std::lock_guard lock(mutex_);
    mode = (kind_ << 16) | (initialized_ ? type_ : (kind_ == QOR_RECORDER_MODE_CAMRAM ? 1u : 0u));
    max_count = capacity_;
    requested = state_.requested;
    width = static_cast<uint16_t>(geometry_.width);
    height = static_cast<uint16_t>(geometry_.height);
}

bool SimRecorder::waitForNextExposure(Clock::time_point& next, double period_s, uint16_t trigger_mode) {
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period_s));
    auto sleep_until = [&](Clock::time_point until) {
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, until, [&] { return stop_requested_.load(); });
        return !stop_requested_;
    };
    const auto now = Clock::now();
    if (trigger_mode == 0) {
        // Free running: one image per frame period; a late start does not produce a burst.
        next = std::max(next + period, now - period);
        return sleep_until(next);
    }
    if (trigger_mode == 1) {
        // Software trigger: each forced trigger starts one exposure.
        while (!device_->takeTrigger(Clock::now() + std::chrono::milliseconds(50), stop_requested_))
            if (stop_requested_) return false;
        next = Clock::now() + period;
        return sleep_until(next);
    }
    // External triggers arrive at the device's trigger rate; forced triggers count as well.
    const double hz = device_->model().external_trigger_hz > 0 ? device_->model().external_trigger_hz : 10.0;
    const auto external = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
    next = std::max(next + std::max(external, period), now - period);
    while (Clock::now() < next) {
        if (device_->takeTrigger(next, stop_requested_)) {
            next = Clock::now() + period;
            break;
        }
        if (stop_requested_) return false;
    }
    return sleep_until(next);
}

void SimRecorder::run() {
    const CameraSpec& model = device_->model();
    const CameraSettings start_settings = device_->settings();
    const bool metadata_on = model.has(0x00004000) && start_settings.metadata_mode != 0;
    const uint16_t submode = start_settings.recorder_submode;
    auto next = Clock::now();
    for (uint32_t n = 1; !stop_requested_; ++n) {
        const CameraSettings before = device_->settings();
        const double period_s =
            std::max((before.delayNs() + before.exposureNs()) / 1e9, readoutSeconds(geometry_, before.pixel_rate));
        if (!waitForNextExposure(next, period_s, before.trigger_mode)) break;
        // The exposure starts now: times changed while waiting for the trigger apply to this image.
        const CameraSettings s = device_->settings();
        const uint64_t exposure_ns = s.exposureNs();

        StoredFrame frame;
        frame.pixels.resize(geometry_.bytes());
        frame.info.timestamp = wallClockStamp(n);
        renderFrame(geometry_, n, exposure_ns, frame.info.timestamp, frame.pixels.data());
        FrameInfo& info = frame.info;
        info.width = geometry_.width;
        info.height = geometry_.height;
        info.bits_per_pixel = geometry_.storage_bits;
        info.bit_resolution = geometry_.data_bits;
        info.image_number = n;
        info.exposure_ns = exposure_ns;
        info.delay_ns = s.delayNs();
        info.serial = model.serial;
        info.camera_name = model.name;
        info.binning_horz = geometry_.bin_h;
        info.binning_vert = geometry_.bin_v;
        info.has_metadata = metadata_on;
        if (metadata_on) info.metadata = metadataRecord(model, s, geometry_, n, info.timestamp, period_s);

        if (ae_on_) adjustExposure(frame);

        if (kind_ == QOR_RECORDER_MODE_FILE) {
            try {
                std::lock_guard lock(mutex_);  // reads of earlier images share the writer
                writer_->write(info, frame.pixels.data());
            } catch (const FileWriteError& e) {
                finishRecording(static_cast<uint32_t>(e.status()));
                return;
            }
        } else if (kind_ == QOR_RECORDER_MODE_CAMRAM) {
            CameraRam& ram = device_->ram();
            std::lock_guard ram_lock(ram.mutex);
            auto& segment = ram.segments[segment_ - 1];
            const uint32_t cap = std::max<uint32_t>(capacity_, 1);
            StoredImage image{std::move(frame.pixels), info.width, info.height, info.bits_per_pixel, n,
                              info.metadata, info.timestamp};
            if (segment.size() < cap) {
                segment.push_back(std::move(image));
            } else if (submode == 1) {
                size_t& oldest = ram.ring_start[segment_ - 1];
                segment[oldest] = std::move(image);
                oldest = (oldest + 1) % segment.size();
            } else {
                finishRecording(0);
                return;
            }
        }

        bool done = false;
        {
            std::lock_guard lock(mutex_);
            if (kind_ == QOR_RECORDER_MODE_MEMORY) {
                if (type_ == QOR_RECORDER_MEMORY_FIFO) {
                    if (frames_.size() >= state_.requested)
                        state_.fifo_overflow = true;  // a full fifo drops new images
                    else
                        frames_.push_back(std::move(frame));
                    state_.processed = static_cast<uint32_t>(frames_.size());
                } else if (type_ == QOR_RECORDER_MEMORY_RINGBUF && frames_.size() >= state_.requested) {
                    frames_[ring_next_] = std::move(frame);
                    ring_next_ = (ring_next_ + 1) % frames_.size();
                    ++state_.processed;
                } else {
                    frames_.push_back(std::move(frame));
                    ++state_.processed;
                }
                state_.buffer_full = frames_.size() >= state_.requested;
                done = type_ == QOR_RECORDER_MEMORY_SEQUENCE && state_.processed >= state_.requested;
            } else {
                ++state_.processed;
                // Camera-RAM rings keep recording until stopped; the other kinds end at the count.
                done = !(kind_ == QOR_RECORDER_MODE_CAMRAM && submode == 1) && state_.processed >= state_.requested;
            }
        }
        if (s.acquire_mode == 4 && s.acquire_count > 0 && n >= s.acquire_count) done = true;
        if (done) break;
    }
    finishRecording(0);
}

void SimRecorder::adjustExposure(const StoredFrame& frame) {
    const FrameGeometry& g = geometry_;
    uint32_t x0 = 0, y0 = 0, x1 = g.width, y1 = g.height;
    switch (ae_region_.load()) {
        case 0: x0 = g.width / 4; x1 = g.width - x0; y0 = g.height / 4; y1 = g.height - y0; break;   // balanced
        case 1: x0 = g.width * 3 / 8; x1 = g.width - x0; y0 = g.height * 3 / 8; y1 = g.height - y0; break;  // center
        case 2: x1 = std::max<uint32_t>(g.width / 8, 1); y1 = std::max<uint32_t>(g.height / 8, 1); break;  // corner
        default: break;  // full
    }
    const unsigned shift = g.storage_bits == 16 && g.msb_aligned ? 16 - g.data_bits : 0;
    uint64_t sum = 0, count = 0;
    for (uint32_t y = y0; y < y1; y += 4) {
        for (uint32_t x = x0; x < x1; x += 4) {
            const size_t i = size_t{y} * g.width + x;
            uint32_t v = g.storage_bits == 8 ? frame.pixels[i]
                                             : reinterpret_cast<const uint16_t*>(frame.pixels.data())[i] >> shift;
            sum += v;
            ++count;
        }
    }
    if (count == 0) return;
    const double mean = static_cast<double>(sum) / count - g.dark_offset;
    const double target = ((1u << g.data_bits) - 1) / 2.0 - g.dark_offset;
    const double factor = std::clamp(target / std::max(mean, 1.0), 0.5, 2.0);
    uint64_t min_ns, max_ns;
    {
        std::lock_guard lock(mutex_);
        min_ns = ae_min_ns_;
        max_ns = ae_max_ns_;
    }
    if (max_ns == 0 || max_ns < min_ns) return;
    const uint64_t next_ns = std::clamp<uint64_t>(static_cast<uint64_t>(frame.info.exposure_ns * factor), min_ns, max_ns);
    device_->modify([&](CameraSettings& s) { splitSdkTime(next_ns, s.exposure, s.exposure_base); });
}

int32_t SimRecorder::setAutoExposure(bool on, uint32_t min, uint32_t max, uint16_t base) {
    if (base > 2) return err::kRecInvalidArgument;
    static constexpr uint64_t kScale[3] = {1, 1000, 1000000};
    std::lock_guard lock(mutex_);
    ae_on_ = on;
    ae_min_ns_ = uint64_t{min} * kScale[base];
    ae_max_ns_ = uint64_t{max} * kScale[base];
    return 0;
}

void SimRecorder::setCompression(const QOR_CompressionParams& params) {
    std::lock_guard lock(mutex_);
    compression_ = params;
}

int32_t SimRecorder::checkCrop(const uint16_t crop[4], const FrameInfo& info) const {
    if (crop[0] < 1 || crop[1] < 1 || crop[0] > crop[2] || crop[1] > crop[3] || crop[2] > info.width ||
        crop[3] > info.height)
        return err::kRecInvalidArgument;
    return 0;
}

int32_t SimRecorder::fetch(uint32_t index, StoredFrame& out, bool take) {
    // Callers hold mutex_.
    if (kind_ == QOR_RECORDER_MODE_FILE) {
        if (!writer_) return err::kRecNoImage;
        const uint32_t count = writer_->count();
        if (count == 0) return err::kRecNoImage;
        const uint32_t i = index == 0xFFFFFFFF ? count - 1 : index;
        if (i >= count || !writer_->read(i, out.info, out.pixels)) return err::kRecNoImage;
        return 0;
    }
    if (kind_ == QOR_RECORDER_MODE_CAMRAM) {
        CameraRam& ram = device_->ram();
        std::lock_guard ram_lock(ram.mutex);
        const auto& segment = ram.segments[segment_ - 1];
        if (segment.empty()) return err::kRecNoImage;
        const size_t n = segment.size();
        const size_t i = index == 0xFFFFFFFF ? n - 1 : index;
        if (i >= n) return err::kRecNoImage;
        const StoredImage& image = segment[(ram.ring_start[segment_ - 1] + i) % n];
        out.pixels = image.pixels;
        out.info.width = image.width;
        out.info.height = image.height;
        out.info.bits_per_pixel = image.bits;
        out.info.image_number = image.image_number;
        out.info.metadata = image.metadata;
        out.info.has_metadata = image.metadata.wSize != 0;
        out.info.timestamp = image.timestamp;
        return 0;
    }
    if (frames_.empty()) return err::kRecNoImage;
    const size_t n = frames_.size();
    if (type_ == QOR_RECORDER_MEMORY_FIFO) {
        out = take ? std::move(frames_.front()) : frames_.front();
        if (take) {
            frames_.pop_front();
            state_.processed = static_cast<uint32_t>(frames_.size());
        }
        return 0;
    }
    const size_t i = index == 0xFFFFFFFF ? n - 1 : index;
    if (i >= n) return err::kRecNoImage;
    const size_t slot = type_ == QOR_RECORDER_MEMORY_RINGBUF && n >= state_.requested ? (ring_next_ + i) % n : i;
    out.info = frames_[slot].info;
    out.pixels = frames_[slot].pixels;
    return 0;
}

int32_t SimRecorder::copy(uint32_t index, const uint16_t crop[4], void* buffer, uint32_t* image_number,
                          QOR_Metadata* metadata, QOR_Timestamp* timestamp) {
    if (buffer == nullptr || image_number == nullptr) return err::kNullPointer;
    std::lock_guard lock(mutex_);
    // Memory frames are cropped straight out of the buffer, without an intermediate copy.
    const StoredFrame* frame = nullptr;
    StoredFrame fetched;
    if (kind_ == QOR_RECORDER_MODE_MEMORY && type_ != QOR_RECORDER_MEMORY_FIFO) {
        const size_t n = frames_.size();
        if (n == 0) return err::kRecNoImage;
        const size_t i = index == 0xFFFFFFFF ? n - 1 : index;
        if (i >= n) return err::kRecNoImage;
        frame = &frames_[type_ == QOR_RECORDER_MEMORY_RINGBUF && n >= state_.requested ? (ring_next_ + i) % n : i];
    } else {
        if (int32_t status = fetch(index, fetched, true); status != 0) return status;
        frame = &fetched;
    }
    if (int32_t status = checkCrop(crop, frame->info); status != 0) return status;
    copyCrop(frame->pixels.data(), frame->info.width, frame->info.bits_per_pixel / 8, crop, buffer);
    *image_number = frame->info.image_number;
    if (metadata != nullptr) {
        *metadata = frame->info.has_metadata ? frame->info.metadata : QOR_Metadata{};
        metadata->wSize = sizeof(QOR_Metadata);
    }
    if (timestamp != nullptr) *timestamp = frame->info.timestamp;
    return 0;
}

int32_t SimRecorder::copyCompressed(uint32_t index, const uint16_t crop[4], uint8_t* buffer, uint32_t* image_number,
                                    QOR_Metadata* metadata, QOR_Timestamp* timestamp) {
    QOR_CompressionParams p{};
    {
        std::lock_guard lock(mutex_);
        if (!compression_) return err::kRecNoCompression;
        p = *compression_;
    }
    if (buffer == nullptr) return err::kNullPointer;
    const uint32_t w = crop[2] >= crop[0] ? crop[2] - crop[0] + 1u : 0u;
    const uint32_t h = crop[3] >= crop[1] ? crop[3] - crop[1] + 1u : 0u;
    const uint16_t bits = geometry_.storage_bits;
    std::vector<uint8_t> raw(size_t{w} * h * (bits / 8));
    if (int32_t status = copy(index, crop, raw.data(), image_number, metadata, timestamp); status != 0) return status;
    // Noise-equivalent compression: the square root of the signal's variance in electrons, so one
    // output step is about one standard deviation of the noise.
    const double gain = p.dGainK > 0 ? p.dGainK : 1.0;
    const double read_var = p.dDarkNoise_e * p.dDarkNoise_e + p.dDSNU_e * p.dDSNU_e;
    const double prnu = p.dPRNU_pct / 100.0, light = p.dLightSourceNoise_pct / 100.0;
    const unsigned shift = bits == 16 && geometry_.msb_aligned ? 16 - geometry_.data_bits : 0;
    std::vector<uint8_t> table(bits == 16 ? 65536 : 256);
    for (size_t v = 0; v < table.size(); ++v) {
        const double e = std::max(0.0, double(v >> shift) - geometry_.dark_offset) / gain;
        const double var = read_var + e + (prnu * e) * (prnu * e) + (light * e) * (light * e);
        const double c = 2.0 * (std::sqrt(var) - std::sqrt(read_var));
        table[v] = static_cast<uint8_t>(std::clamp(std::lround(c), 0L, 255L));
    }
    const size_t n = size_t{w} * h;
    if (bits == 16) {
        const auto* in = reinterpret_cast<const uint16_t*>(raw.data());
        for (size_t i = 0; i < n; ++i) buffer[i] = table[in[i]];
    } else {
        for (size_t i = 0; i < n; ++i) buffer[i] = table[raw[i]];
    }
    return 0;
}

int32_t SimRecorder::copyAverage(uint32_t start, uint32_t stop, const uint16_t crop[4], void* buffer) {
    if (buffer == nullptr) return err::kNullPointer;
    if (start > stop) return err::kRecInvalidArgument;
    const uint32_t w = crop[2] >= crop[0] ? crop[2] - crop[0] + 1u : 0u;
    const uint32_t h = crop[3] >= crop[1] ? crop[3] - crop[1] + 1u : 0u;
    const size_t n = size_t{w} * h;
    const uint16_t bits = geometry_.storage_bits;
    std::vector<uint64_t> sum(n, 0);
    std::vector<uint8_t> one(n * (bits / 8));
    for (uint32_t i = start; i <= stop; ++i) {
        uint32_t number = 0;
        if (int32_t status = copy(i, crop, one.data(), &number, nullptr, nullptr); status != 0) return status;
        if (bits == 16) {
            const auto* px = reinterpret_cast<const uint16_t*>(one.data());
            for (size_t k = 0; k < n; ++k) sum[k] += px[k];
        } else {
            for (size_t k = 0; k < n; ++k) sum[k] += one[k];
        }
        if (i == 0xFFFFFFFF) break;
    }
    const uint64_t count = uint64_t{stop} - start + 1;
    if (bits == 16) {
        auto* out = static_cast<uint16_t*>(buffer);
        for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint16_t>((sum[k] + count / 2) / count);
    } else {
        auto* out = static_cast<uint8_t*>(buffer);
        for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>((sum[k] + count / 2) / count);
    }
    return 0;
}

namespace {

struct RecorderRegistry {
    std::mutex mutex;
    std::map<QOR_RECORDER, std::shared_ptr<SimRecorder>> recorders;
    uintptr_t next = 0x7100;
    bool hook_installed = false;
};

RecorderRegistry& recorders() {
    static RecorderRegistry* r = new RecorderRegistry;
    return *r;
}

}  // namespace

std::shared_ptr<SimRecorder> findRecorder(QOR_RECORDER handle) {
    RecorderRegistry& r = recorders();
    std::lock_guard lock(r.mutex);
    auto it = r.recorders.find(handle);
    return it == r.recorders.end() ? nullptr : it->second;
}

QOR_RECORDER registerRecorder(std::shared_ptr<SimRecorder> recorder) {
    RecorderRegistry& r = recorders();
    std::lock_guard lock(r.mutex);
    if (!r.hook_installed) {
        r.hook_installed = true;
        addResetHook([] {
            std::map<QOR_RECORDER, std::shared_ptr<SimRecorder>> all;
            {
                RecorderRegistry& reg = recorders();
                std::lock_guard l(reg.mutex);
                all.swap(reg.recorders);
            }
            all.clear();  // stops every recording outside the registry's lock
        });
    }
    QOR_RECORDER handle = reinterpret_cast<QOR_RECORDER>(r.next);
    r.next += 0x10;
    r.recorders[handle] = std::move(recorder);
    return handle;
}

std::shared_ptr<SimRecorder> unregisterRecorder(QOR_RECORDER handle) {
    RecorderRegistry& r = recorders();
    std::lock_guard lock(r.mutex);
    auto it = r.recorders.find(handle);
    if (it == r.recorders.end()) return nullptr;
    auto recorder = std::move(it->second);
    r.recorders.erase(it);
    return recorder;
}

}  // namespace qorsim
