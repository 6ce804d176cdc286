#include "server/live_stream.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "server/camera_json.h"
#include "server/image_encoding.h"
#include "server/image_headers.h"

namespace {

// The newest image of the recording, as the recorder numbers its indices.
constexpr uint32_t kNewestImage = 0xFFFFFFFF;
// How often a producer looks at the recorded count while no new image has come.
constexpr std::chrono::milliseconds kPollInterval{1};
// Producers of one channel at once: the second one copies the next image while the first encodes.
constexpr size_t kMaxProducers = 2;

}  // namespace

LiveStream::LiveStream(CameraControl* control, size_t max_readers) : control_(control), max_readers_(max_readers) {}

LiveStream::~LiveStream() { close(); }

std::shared_ptr<LiveStream::Reader> LiveStream::open(const StreamSettings& settings, double max_fps) {
    std::lock_guard lock(mutex_);
    if (closed_ || readers_ >= max_readers_) return nullptr;
    std::shared_ptr<Channel> channel = channels_[settings].lock();
    if (!channel) {
        channel = std::make_shared<Channel>(this, settings);
        channels_[settings] = channel;
    }
    for (auto it = channels_.begin(); it != channels_.end();) it = it->second.expired() ? channels_.erase(it) : std::next(it);
    ++readers_;
    return std::make_shared<Reader>(this, std::move(channel), max_fps);
}

void LiveStream::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& [settings, weak] : channels_)
        if (auto channel = weak.lock()) channel->wakeAll();
}

void LiveStream::recordingStarted(qor::RecordMode mode) {
    fifo_ = mode == qor::RecordMode::fifo;
    ++generation_;
}

size_t LiveStream::readers() const {
    std::lock_guard lock(mutex_);
    return readers_;
}

void LiveStream::leave() {
    std::lock_guard lock(mutex_);
    --readers_;
}

LiveStream::Reader::Reader(LiveStream* owner, std::shared_ptr<Channel> channel, double max_fps)
    : owner_(owner), channel_(std::move(channel)), next_allowed_(std::chrono::steady_clock::now()) {
    seen_ = channel_->events();
    min_interval_ = max_fps > 0 ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(1.0 / max_fps))
                                : std::chrono::steady_clock::duration::zero();
}

LiveStream::Reader::~Reader() { owner_->leave(); }

LiveStream::Reader::Status LiveStream::Reader::next(std::shared_ptr<const StreamFrame>& out) {
    if (owner_->closed_) return Status::ended;
    const auto now = std::chrono::steady_clock::now();
    const auto until = now + kWaitSlice;
    // A reader held to a frame rate sleeps until its next frame is due; it then takes the newest one.
    if (now < next_allowed_) {
        std::this_thread::sleep_until(std::min(next_allowed_, until));
        if (std::chrono::steady_clock::now() < next_allowed_) return Status::waiting;
    }
    bool ended = false;
    out = channel_->await(seen_, until, ended);
    if (ended || owner_->closed_) return Status::ended;
    if (!out) return Status::waiting;
    // The next frame is due one interval after this one was due; a frame that came late does not
    // earn the reader a burst of frames to catch up.
    next_allowed_ = std::max(next_allowed_, std::chrono::steady_clock::now() - min_interval_) + min_interval_;
    return Status::frame;
}

LiveStream::Channel::Channel(LiveStream* owner, StreamSettings settings) : owner_(owner), settings_(std::move(settings)) {}

uint64_t LiveStream::Channel::events() {
    std::lock_guard lock(mutex_);
    return events_;
}

void LiveStream::Channel::wakeAll() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

std::shared_ptr<const StreamFrame> LiveStream::Channel::await(uint64_t& seen, std::chrono::steady_clock::time_point until,
                                                               bool& ended) {
    std::unique_lock lock(mutex_);
    ++waiting_;
    struct Leave {
        size_t& waiting;
        ~Leave() { --waiting; }
    } leave{waiting_};
    while (!owner_->closed_) {
        if (events_ > seen) {
            // Only the newest event counts: a reader that fell behind skips straight to it.
            seen = events_;
            if (last_was_end_) {
                ended = true;
                return nullptr;
            }
            return latest_;
        }
        if (std::chrono::steady_clock::now() >= until) return nullptr;
        // A lone reader asks for one frame at a time; with more readers waiting, a second producer
        // fetches the next image while the first one still encodes.
        if (producers_ >= std::min(kMaxProducers, waiting_)) {
            changed_.wait_until(lock, until);
            continue;
        }
        ++producers_;
        std::unique_ptr<qor::Image> image;
        if (idle_images_.empty()) {
            image = std::make_unique<qor::Image>();
        } else {
            image = std::move(idle_images_.back());
            idle_images_.pop_back();
        }
        lock.unlock();
        Produced produced = Produced::not_recording;
        std::shared_ptr<const StreamFrame> frame;
        try {
            produced = produce(*image);
            if (produced == Produced::frame) frame = encodeFrame(*image);
        } catch (...) {
            // A frame that cannot be encoded or described ends the stream like a stopped recording.
            produced = Produced::not_recording;
        }
        lock.lock();
        --producers_;
        idle_images_.push_back(std::move(image));
        // Two producers may finish out of order: an image older than the one shown is dropped.
        if (produced == Produced::frame && frame && (!latest_ || frame->image_number > latest_->image_number)) {
            latest_ = std::move(frame);
            last_was_end_ = false;
            ++events_;
        } else if (produced == Produced::not_recording) {
            last_was_end_ = true;
            ++events_;
        }
        changed_.notify_all();
        if (produced == Produced::nothing_new) {
            lock.unlock();
            std::this_thread::sleep_for(kPollInterval);
            lock.lock();
        }
    }
    return nullptr;
}

LiveStream::Channel::Produced LiveStream::Channel::produce(qor::Image& image) {
    CameraControl& control = *owner_->control_;
    const std::optional<bool> recording = control.isRecording();
    if (!recording || !*recording) return Produced::not_recording;
    const std::optional<uint64_t> count = control.getRecordedImageCount();
    if (!count) return Produced::not_recording;
    {
        std::lock_guard lock(mutex_);
        // A new recording numbers and counts its images afresh.
        if (const uint64_t generation = owner_->generation_; generation != generation_) {
            generation_ = generation;
            last_number_.reset();
            last_count_ = 0;
            latest_.reset();
        }
        if (*count == 0) return Produced::nothing_new;
        // A fifo's count is the number of images waiting in it; elsewhere it grows with every new image.
        if (!owner_->fifo_ && *count == last_count_) return Produced::nothing_new;
        last_count_ = *count;
    }
    // The camera is held only while the image is copied and converted, never between frames.
    const bool ok = settings_.crop ? control.image(image, *settings_.crop, kNewestImage, settings_.format, nullptr)
                                   : control.image(image, kNewestImage, settings_.format, nullptr);
    if (!ok) {
        // The facade has recorded the failure as its last error; the next failing request overwrites
        // it. Clearing it here could wipe the error of another client's request instead.
        const std::optional<bool> still = control.isRecording();
        return still && *still ? Produced::nothing_new : Produced::not_recording;
    }
    std::lock_guard lock(mutex_);
    // Claimed under the lock, so that two producers never encode the same image.
    if (last_number_ && image.recorderImageNumber() <= *last_number_) return Produced::nothing_new;
    last_number_ = image.recorderImageNumber();
    return Produced::frame;
}

std::shared_ptr<const StreamFrame> LiveStream::Channel::encodeFrame(const qor::Image& image) {
    const std::string jpeg = image_encoding::encodeJpeg(image, settings_.quality);
    const qor::Roi crop = settings_.crop.value_or(
        qor::Roi{1, 1, static_cast<int64_t>(image.width()), static_cast<int64_t>(image.height())});
    HeaderList headers;
    headers.emplace_back("crop", headerJson(nlohmann::json(crop)));
    const HeaderList described = imageHeaders(*owner_->control_, describeImage(image, false));
    headers.insert(headers.end(), described.begin(), described.end());

    auto frame = std::make_shared<StreamFrame>();
    frame->image_number = image.recorderImageNumber();
    std::string& part = frame->part;
    part.reserve(jpeg.size() + 1024);
    part += "--";
    part += kBoundary;
    part += "\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    part += std::to_string(jpeg.size());
    part += "\r\n";
    for (const auto& [name, value] : headers) part += name + ": " + value + "\r\n";
    part += "\r\n";
    part += jpeg;
    part += "\r\n";
    return frame;
}
