// Following a recording beside the other callers: its progress and copies of its images that leave
// the camera's own state (the image counter of the waits, the display ranges) untouched.
#include <atomic>

#include "camera/camera.h"
#include "camera/camera_recorder.h"

namespace qor {
namespace {

// Recordings are numbered across all cameras of the process, so that a camera reopened in place of
// another never repeats a number a follower has already seen.
std::atomic<uint64_t> recordings_started{0};

}  // namespace

void Camera::publishFollowed(const RecorderPtr& rec) {
    // Everything a copy needs is fixed by now; later changes of the camera apply to the next recording.
    std::lock_guard lock(state_mutex_);
    followed_.recording = ++recordings_started;
    followed_.recorder = rec;
    followed_.layout = layout_;
}

RecordingProgress Camera::recordingProgress() {
    Followed followed;
    {
        std::lock_guard lock(state_mutex_);
        followed = followed_;
    }
    RecordingProgress progress;
    if (!followed.recorder) return progress;
    progress.recording = followed.recording;
    progress.mode = recorderMode(followed.recorder);
    const RecorderStatus status = recorderStatus(followed.recorder);
    progress.running = status.running;
    progress.processed = status.processed;
    progress.requested = status.requested;
    return progress;
}

void Camera::copyRecorded(Image& image, uint64_t recording, uint32_t index) {
    Followed followed;
    {
        std::lock_guard lock(state_mutex_);
        followed = followed_;
    }
    if (!followed.recorder || followed.recording != recording)
        throw CameraException("The recording has been replaced", errc::kNoRecorder);
    const RecordingLayout& layout = followed.layout;
    const uint64_t x1 = layout.roi[2] - layout.roi[0] + 1;
    const uint64_t y1 = layout.double_image_factor * (layout.roi[3] - layout.roi[1] + 1);
    const Roi crop{1, 1, static_cast<int64_t>(x1), static_cast<int64_t>(y1)};
    const DataFormat format = layout.raw_format == RawFormat::Byte ? DataFormat::Mono8 : DataFormat::Mono16;
    if (!image.fits(format, layout.raw_format, 1, 1, x1, y1) || image.crop() != crop)
        image.reshape(format, layout.raw_format, 1, 1, x1, y1);

    QOR_Metadata* metadata = nullptr;
    if (layout.metadata_on) {
        QOR_Metadata block{};
        block.wSize = sizeof block;
        image.setMetaData(block);
        metadata = image.metaDataPtr();
    } else {
        image.clearMetaData();
    }
    QOR_Timestamp* timestamp = nullptr;
    if (layout.timestamp_on) {
        QOR_Timestamp block{};
        block.wSize = sizeof block;
        image.setTimestamp(block);
        timestamp = image.timestampPtr();
    } else {
        image.clearTimestamp();
    }
    uint32_t number = 0;
    sdk::check(QOR_RecorderCopyImage(followed.recorder->get(), handle_, index, 1, 1, static_cast<uint16_t>(x1),
                                     static_cast<uint16_t>(y1), image.rawBuffer(), &number, metadata, timestamp));
    image.setRecorderImageNumber(number);
}

}  // namespace qor
