#pragma once

// The camera's images to processing workers over ZeroMQ: every image a recording stores goes out once
// as a JSON part and a pixel part, framed by a header and an end message per recording. The sender
// follows the recording on its own thread and never waits for a consumer: messages beyond the
// high-water mark are dropped and counted.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include "camera/types.h"
#include "server/camera_control.h"
#include "server/image_pool.h"

/// Queues one image message: the JSON part `head`, then the image's raw pixels without copying them
/// (the image is released when ZeroMQ is done with them). False when no consumer can take it now.
bool sendImageMessage(zmq::socket_t& socket, const std::string& head, std::shared_ptr<qor::Image> image);

/// What the stream does: its socket, its pattern and the form of the images.
struct StreamConfiguration {
    bool enabled = false;
    std::string endpoint;         // where the socket binds, e.g. "tcp://*:9000"
    std::string pattern = "push";  // "push" (workers share the images) or "pub" (every subscriber gets all)
    qor::DataFormat format = qor::DataFormat::Mono16;
    int64_t high_water_mark = 64;  // images queued per consumer before new ones are dropped
};

class FrameStream {
public:
    /// A disabled stream; `default_endpoint` is the endpoint until a configuration names another.
    FrameStream(CameraControl* control, std::string default_endpoint);
    /// Stops the sender and closes the socket at once, dropping what is still queued.
    ~FrameStream();
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    /// Applies a configuration: the running sender ends its series and stops; an enabled stream binds
    /// its socket and starts following the recordings. Throws std::invalid_argument with the reason
    /// when the socket cannot be set up; the stream is then disabled.
    void configure(const StreamConfiguration& next);
    StreamConfiguration configuration() const;
    /// Images sent and dropped since the stream was last enabled.
    uint64_t sent() const { return sent_; }
    uint64_t dropped() const { return dropped_; }
    /// Stops the sender and closes the socket without waiting for consumers; later configurations fail.
    void stop();

private:
    class Sender;

    void stopSender(int linger_ms);
    static void bindReleased(zmq::socket_t& socket, const std::string& endpoint);

    CameraControl* control_;
    mutable std::mutex mutex_;  // configuration, socket and sender are replaced together
    StreamConfiguration config_;
    zmq::context_t context_;
    std::unique_ptr<Sender> sender_;
    bool closed_ = false;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> dropped_{0};
};
