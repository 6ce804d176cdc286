#include "server/frame_stream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "server/camera_json.h"

using nlohmann::json;

namespace {

constexpr uint32_t kMemoryKind = 2;
constexpr uint32_t kFifoType = 3;
// How long the sender rests when nothing new is there: a recording in progress is polled like the
// waits poll it; an idle camera less often.
constexpr auto kBusyPoll = std::chrono::milliseconds(1);
constexpr auto kIdlePoll = std::chrono::milliseconds(10);
// Header and end messages are few and small: they wait this long for room before they are given up.
constexpr auto kControlMessagePatience = std::chrono::milliseconds(500);
// Idle pixel buffers kept for the next images between series. During a series the pool keeps as
// many as the queue holds: a consumer that falls behind releases its queued images in bursts of half
// the queue, and those buffers would otherwise be freed and then mapped, faulted and cleared again.
constexpr size_t kPooledImages = 4;

bool isFifo(uint32_t mode) { return ((mode >> 16) & 3) == kMemoryKind && (mode & 3) == kFifoType; }

std::string dumped(const json& document) { return document.dump(-1, ' ', false, json::error_handler_t::replace); }

void print(const std::string& line) { std::cout << line << std::flush; }

}  // namespace

bool sendImageMessage(zmq::socket_t& socket, const std::string& head, std::shared_ptr<qor::Image> image) {
    const auto& raw = image->rawData();
    const void* data = nullptr;
    size_t bytes = 0;
    if (const auto* words = std::get_if<qor::PixelWords>(&raw)) {
        data = words->data();
        bytes = words->size() * sizeof(uint16_t);
    } else if (const auto* octets = std::get_if<qor::PixelBytes>(&raw)) {
        data = octets->data();
        bytes = octets->size();
    }
    // The pixel part points into the image, which ZeroMQ lets go of once the bytes are on their way.
    auto* held = new std::shared_ptr<qor::Image>(std::move(image));
    zmq::message_t pixels(const_cast<void*>(data), bytes,
                          [](void*, void* hint) { delete static_cast<std::shared_ptr<qor::Image>*>(hint); }, held);
    if (!socket.send(zmq::buffer(head), zmq::send_flags::sndmore | zmq::send_flags::dontwait)) return false;
    // Once the first part is queued, ZeroMQ takes the rest of the message.
    return socket.send(pixels, zmq::send_flags::none).has_value();
}

/// One enabled configuration: its socket and the thread that follows the recordings.
class FrameStream::Sender {
public:
    Sender(FrameStream& owner, zmq::socket_t socket, StreamConfiguration config)
        : owner_(owner), control_(*owner.control_), socket_(std::move(socket)), config_(std::move(config)) {
        thread_ = std::thread([this] { run(); });
    }

    /// Ends the series in progress and closes the socket; what is still queued goes out within
    /// `linger_ms`, or is dropped at once with 0.
    void stop(int linger_ms) {
        {
            std::lock_guard lock(wake_mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        socket_.set(zmq::sockopt::linger, linger_ms);
        socket_.close();
    }

private:
    void run() {
        // A recording that has already ended when the stream starts is not sent again; one that is
        // running is followed from its next image.
        if (auto progress = control_.observe([](qor::Camera& c) { return c.recordingProgress(); })) {
            recording_ = progress->recording;
            if (recording_ != 0 && progress->running) {
                beginSeries();
                next_ = isFifo(progress->mode) ? 0 : progress->processed;
            }
        }
        while (!stopping()) {
            const bool progressed = step();
            if (!progressed) rest(in_series_ ? kBusyPoll : kIdlePoll);
        }
        if (in_series_) endSeries();
    }

    // One look at the recording: starts and ends series and sends what is new. False when nothing was.
    bool step() {
        auto progress = control_.observe([](qor::Camera& c) { return c.recordingProgress(); });
        if (!progress) {
            if (in_series_) endSeries();
            return false;
        }
        if (progress->recording != recording_) {
            if (in_series_) {
                // Images of the replaced recording that were not sent yet are gone with it.
                lost(last_processed_ > next_ ? last_processed_ - next_ : 0);
                endSeries();
            }
            recording_ = progress->recording;
            next_ = 0;
            if (recording_ != 0) beginSeries();
        }
        if (!in_series_) return false;
        last_processed_ = progress->processed;
        const bool progressed = isFifo(progress->mode) ? sendFromFifo(*progress) : sendStored(*progress);
        // A stopped recorder takes no more images: once its last ones are out the series is complete.
        if (!progressed && !progress->running) endSeries();
        return progressed;
    }

    // Recorders that keep their images (sequence, ring buffer, files, camera RAM): the images from
    // processed - stored to processed - 1 are readable, the oldest at index 0.
    bool sendStored(const qor::RecordingProgress& progress) {
        const uint32_t stored = std::min(progress.processed, progress.requested);
        const uint32_t oldest = progress.processed - stored;
        if (next_ < oldest) {
            lost(oldest - next_);  // overwritten by the ring before they could be sent
            next_ = oldest;
        }
        if (next_ >= progress.processed) return false;
        const uint32_t index = next_ - oldest;
        ++next_;
        if (!writable()) {
            lost(1);
            return true;
        }
        sendImage(index);
        return true;
    }

    // A fifo hands out its oldest image and forgets it, whatever the index; its count is its length.
    // The stream is then the fifo's reader: the images it takes are no longer there for others.
    bool sendFromFifo(const qor::RecordingProgress& progress) {
        if (progress.processed == 0) return false;
        sendImage(0);
        return true;
    }

    void sendImage(uint32_t index) {
        std::shared_ptr<qor::Image> image = pool_->take();
        const bool copied = control_.observe([&](qor::Camera& c) {
                                        c.copyRecorded(*image, recording_, index);
                                        return true;
                                    }).has_value();
        if (!copied) return;  // replaced or stopped meanwhile; the next step sees it
        const uint32_t number = image->recorderImageNumber();
        // A ring that moved on between the look at its counts and the copy hands out a later image;
        // one already sent is not sent twice.
        if (have_number_ && number <= last_number_) return;
        have_number_ = true;
        last_number_ = number;

        const auto& raw = image->rawData();
        const bool words = std::holds_alternative<qor::PixelWords>(raw);
        json part{{"type", "image"},
                  {"series", series_},
                  {"number", number},
                  {"width", image->width()},
                  {"height", image->height()},
                  {"format", config_.format},
                  {"raw_format", words ? qor::RawFormat::Word : qor::RawFormat::Byte},
                  {"crop", image->crop()},
                  {"color_mode", color_mode_}};
        if (const QOR_Metadata* metadata = image->metaDataPtr()) part["metadata"] = *metadata;
        if (const QOR_Timestamp* timestamp = image->timestampPtr()) part["timestamp"] = *timestamp;
        if (words && config_.format != qor::DataFormat::Mono16) {
            if (auto settings = control_.observe([&](qor::Camera& c) { return c.getConvertControl(config_.format); }))
                part["conv_ctrl"] = *settings;
        }

        if (!sendImageMessage(socket_, dumped(part), std::move(image))) {
            lost(1);
            return;
        }
        ++series_sent_;
        ++owner_.sent_;
    }

    void beginSeries() {
        in_series_ = true;
        ++series_;
        series_sent_ = 0;
        series_dropped_ = 0;
        last_processed_ = 0;
        have_number_ = false;
        pool_->keepAtMost(std::max(kPooledImages, static_cast<size_t>(config_.high_water_mark)));
        json header{{"type", "header"}, {"series", series_}};
        if (auto description = control_.observe([](qor::Camera& c) { return c.getDescription(); }))
            header["description"] = *description;
        if (auto configuration = control_.observe([](qor::Camera& c) { return c.getConfiguration(); }))
            header["configuration"] = *configuration;
        color_mode_ = control_
                          .observe([](qor::Camera& c) {
                              return c.calculateColorMode(qor::Roi{1, 1, 1, 1});
                          })
                          .value_or(0);
        sendControl(header);
    }

    void endSeries() {
        in_series_ = false;
        sendControl(json{{"type", "end"}, {"series", series_}, {"sent", series_sent_}, {"dropped", series_dropped_}});
        pool_->keepAtMost(kPooledImages);
    }

    void sendControl(const json& message) {
        const std::string text = dumped(message);
        const auto give_up = std::chrono::steady_clock::now() + kControlMessagePatience;
        while (!socket_.send(zmq::buffer(text), zmq::send_flags::dontwait)) {
            if (stopping() || std::chrono::steady_clock::now() >= give_up) return;
            rest(kBusyPoll);
        }
    }

    // Whether a consumer can take a message now; when none can, an image is dropped without copying it.
    bool writable() { return (socket_.get(zmq::sockopt::events) & ZMQ_POLLOUT) != 0; }

    void lost(uint64_t count) {
        series_dropped_ += count;
        owner_.dropped_ += count;
    }

    bool stopping() {
        std::lock_guard lock(wake_mutex_);
        return stopping_;
    }

    void rest(std::chrono::milliseconds period) {
        std::unique_lock lock(wake_mutex_);
        wake_.wait_for(lock, period, [this] { return stopping_; });
    }

    FrameStream& owner_;
    CameraControl& control_;
    zmq::socket_t socket_;
    const StreamConfiguration config_;
    std::shared_ptr<ImagePool> pool_ = ImagePool::create(kPooledImages);

    // Follow state, used by the sender thread only.
    uint64_t recording_ = 0;   // the recording followed
    bool in_series_ = false;
    uint64_t series_ = 0;      // number of the last series begun
    uint32_t next_ = 0;        // count of the recording's images handled (sent or dropped)
    uint32_t last_processed_ = 0;
    uint64_t series_sent_ = 0;
    uint64_t series_dropped_ = 0;
    uint32_t color_mode_ = 0;
    bool have_number_ = false;
    uint32_t last_number_ = 0;

    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

FrameStream::FrameStream(CameraControl* control, std::string default_endpoint) : control_(control), context_(1) {
    config_.endpoint = std::move(default_endpoint);
}

FrameStream::~FrameStream() { stop(); }

StreamConfiguration FrameStream::configuration() const {
    std::lock_guard lock(mutex_);
    return config_;
}

void FrameStream::stopSender(int linger_ms) {
    if (!sender_) return;
    sender_->stop(linger_ms);
    sender_.reset();
}

void FrameStream::configure(const StreamConfiguration& next) {
    std::lock_guard lock(mutex_);
    if (closed_) throw std::invalid_argument("the stream has been closed");
    if (!next.enabled) {
        // What is queued for the old socket still goes out for a moment, so its end message arrives.
        stopSender(1000);
        config_ = next;
        return;
    }
    // The new socket is bound before the old one is given up, so a refused configuration changes
    // nothing; only the same endpoint has to be released first.
    const bool same_endpoint = sender_ && config_.endpoint == next.endpoint;
    if (same_endpoint) stopSender(1000);
    try {
        zmq::socket_t socket(context_, next.pattern == "pub" ? zmq::socket_type::pub : zmq::socket_type::push);
        socket.set(zmq::sockopt::sndhwm, static_cast<int>(next.high_water_mark));
        socket.set(zmq::sockopt::linger, 0);
        // A subscriber that falls behind must be counted as a drop, not be skipped silently.
        if (next.pattern == "pub") socket.set(zmq::sockopt::xpub_nodrop, 1);
        bindReleased(socket, next.endpoint);
        stopSender(1000);
        sent_ = 0;
        dropped_ = 0;
        config_ = next;
        sender_ = std::make_unique<Sender>(*this, std::move(socket), next);
    } catch (const zmq::error_t& e) {
        if (same_endpoint) config_.enabled = false;
        print("[FrameStream] " + next.endpoint + ": " + e.what() + "\n");
        throw std::invalid_argument(e.what());
    }
}

void FrameStream::bindReleased(zmq::socket_t& socket, const std::string& endpoint) {
    // A closed socket lets go of its port on ZeroMQ's own thread, a moment after the close (this
    // stream's old socket, or another camera's that was just disabled): a port in use is tried again
    // for a short while before it counts as taken.
    for (int attempt = 0;; ++attempt) {
        try {
            socket.bind(endpoint);
            return;
        } catch (const zmq::error_t& e) {
            if (e.num() != EADDRINUSE || attempt >= 50) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void FrameStream::stop() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    stopSender(0);
    config_.enabled = false;
    context_.shutdown();
    context_.close();
}
