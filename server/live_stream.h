#pragma once

// The live view of a recording: multipart/x-mixed-replace with one JPEG part per new image. Readers
// with the same settings share their frames, so the camera copies and encodes each image once however
// many people watch; each reader takes the newest frame at its own pace and skips the ones it missed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "camera/image.h"
#include "camera/types.h"
#include "server/camera_control.h"
#include "server/image_encoding.h"

/// What a reader asked for; readers with equal settings share their frames.
struct StreamSettings {
    qor::DataFormat format = qor::DataFormat::Mono8;
    int quality = image_encoding::kDefaultJpegQuality;
    std::optional<qor::Roi> crop;

    auto key() const {
        return std::make_tuple(static_cast<int32_t>(format), quality, crop.has_value(), crop ? crop->x0 : 0,
                               crop ? crop->y0 : 0, crop ? crop->x1 : 0, crop ? crop->y1 : 0);
    }
    bool operator<(const StreamSettings& other) const { return key() < other.key(); }
};

/// One encoded image, ready to go out as a part of the multipart body.
struct StreamFrame {
    uint32_t image_number = 0;
    std::string part;  // boundary line, part headers, JPEG bytes
};

class LiveStream {
public:
    /// The boundary between the parts (without the leading dashes).
    static constexpr const char* kBoundary = "qorframe";
    /// How long one wait for a frame lasts at most, so that readers notice a closed stream promptly.
    static constexpr std::chrono::milliseconds kWaitSlice{100};

    class Reader;
    class Channel;

    /// Streams the recordings of the facade's camera; the facade must outlive the stream.
    explicit LiveStream(CameraControl* control, size_t max_readers = 32);
    ~LiveStream();
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    /// A new reader, or null when the stream is closed or `max_readers` readers are open.
    std::shared_ptr<Reader> open(const StreamSettings& settings, double max_fps);
    /// Ends every reader within one wait slice and refuses new ones.
    void close();
    /// Tells the stream how the recording now starting is kept: a fifo hands each image out once, so
    /// its images are fetched whenever one waits, the other modes when the recorded count moves.
    void recordingStarted(qor::RecordMode mode);
    /// Number of readers now open.
    size_t readers() const;

private:
    friend class Reader;
    void leave();

    CameraControl* control_;
    const size_t max_readers_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> fifo_{false};
    std::atomic<uint64_t> generation_{0};  // counts recordings started
    mutable std::mutex mutex_;
    size_t readers_ = 0;
    std::map<StreamSettings, std::weak_ptr<Channel>> channels_;
};

/// One client's view: hands out the next frame newer than the last it gave, at most `max_fps` a second.
class LiveStream::Reader {
public:
    enum class Status { frame, waiting, ended };

    Reader(LiveStream* owner, std::shared_ptr<Channel> channel, double max_fps);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// Waits up to one wait slice: `frame` with a newer frame in `out`, `waiting` when none came yet,
    /// `ended` when the recording stopped, the camera failed or the stream was closed.
    Status next(std::shared_ptr<const StreamFrame>& out);

private:
    LiveStream* owner_;
    std::shared_ptr<Channel> channel_;
    std::chrono::steady_clock::duration min_interval_;
    std::chrono::steady_clock::time_point next_allowed_;
    uint64_t seen_ = 0;
};

/// The frames of one setting: whichever reader needs a frame first fetches and encodes it (outside
/// the channel's lock, holding the camera only while the image is copied), the others wait for it;
/// with several readers a second one may fetch the next image meanwhile.
class LiveStream::Channel {
public:
    Channel(LiveStream* owner, StreamSettings settings);

    /// The next event after `seen` (a frame or the end of the recording), produced by the caller when
    /// no one else is producing; null when nothing happened before `until`. Sets `ended` at the end.
    std::shared_ptr<const StreamFrame> await(uint64_t& seen, std::chrono::steady_clock::time_point until, bool& ended);
    /// The event count now: a new reader starts from here and waits for what comes next.
    uint64_t events();
    /// Wakes every waiting reader (used when the stream closes).
    void wakeAll();

private:
    enum class Produced { frame, nothing_new, not_recording };
    Produced produce(qor::Image& image);
    std::shared_ptr<const StreamFrame> encodeFrame(const qor::Image& image);

    LiveStream* owner_;
    const StreamSettings settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t producers_ = 0;
    size_t waiting_ = 0;   // readers inside await
    uint64_t events_ = 0;  // frames published and recording ends seen, counted together
    bool last_was_end_ = false;
    std::shared_ptr<const StreamFrame> latest_;
    std::vector<std::unique_ptr<qor::Image>> idle_images_;  // buffers of the producers, reused
    uint64_t generation_ = 0;                               // the recording the state below belongs to
    std::optional<uint32_t> last_number_;                   // newest image claimed by a producer
    uint64_t last_count_ = 0;
};
