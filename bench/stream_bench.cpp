// Throughput of the image stream's sending path over loopback TCP: 2048 x 2048 Mono16 images, each
// copied into a pooled image (as the stream copies it out of the recorder) and queued as a JSON part
// plus the pixels without a further copy, to one PULL consumer on another thread.
// Usage: stream_bench [seconds] -> prints "stream_bytes_per_second <n>".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>

#include <zmq.hpp>

#include "server/frame_stream.h"
#include "server/image_pool.h"

namespace {

constexpr uint64_t kSide = 2048;
constexpr const char* kEndpoint = "tcp://127.0.0.1:9190";
constexpr int kHighWaterMark = 64;
// Twice the queue: its buffers are all allocated and touched by then, and reused after.
constexpr uint64_t kWarmUpImages = 2 * kHighWaterMark;

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    zmq::context_t context(1);
    zmq::socket_t push(context, zmq::socket_type::push);
    push.set(zmq::sockopt::sndhwm, kHighWaterMark);
    push.set(zmq::sockopt::linger, 0);
    push.bind(kEndpoint);

    std::atomic<bool> done{false};
    uint64_t received_bytes = 0;
    std::chrono::steady_clock::time_point first, last;
    // The consumer keeps the memory of the frames it has freed for the next ones, as the stream's
    // documentation advises consumers of large frames to do: ZeroMQ allocates every message it
    // receives, and with the allocator's defaults each 8 MiB frame may be mapped anew and fault in
    // 4 KiB at a time. The sending side's pixel buffers are mapped by the server itself and unaffected.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    std::thread consumer([&] {
        // A context of its own, as a consumer in another process has: its own I/O thread.
        zmq::context_t consumer_context(1);
        zmq::socket_t pull(consumer_context, zmq::socket_type::pull);
        pull.set(zmq::sockopt::rcvtimeo, 500);
        pull.connect(kEndpoint);
        uint64_t images = 0;
        while (!done) {
            zmq::message_t head, pixels;
            if (!pull.recv(head)) continue;
            (void)pull.recv(pixels);
            const auto now = std::chrono::steady_clock::now();
            if (++images <= kWarmUpImages) {
                // The clock starts once the queue has been filled the first time, so that neither
                // connecting nor allocating the first queue's buffers is counted.
                first = now;
                continue;
            }
            received_bytes += pixels.size();
            last = now;
        }
    });

    std::vector<uint16_t> recorded(kSide * kSide, 1234);
    // As the stream's pool during a series: as many idle images as the queue holds.
    auto pool = ImagePool::create(kHighWaterMark);
    const std::string head = R"({"type":"image","series":1,"number":1,"width":2048,"height":2048})";
    const auto stop_at = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < stop_at) {
        std::shared_ptr<qor::Image> image = pool->take();
        if (!image->fits(qor::DataFormat::Mono16, qor::RawFormat::Word, 1, 1, kSide, kSide)) {
            image->reshape(qor::DataFormat::Mono16, qor::RawFormat::Word, 1, 1, kSide, kSide);
        }
        std::memcpy(image->rawBuffer(), recorded.data(), recorded.size() * sizeof(uint16_t));
        // The throughput is the question here, so a full queue waits instead of dropping.
        while (!sendImageMessage(push, head, image)) {
            zmq::pollitem_t item{push.handle(), 0, ZMQ_POLLOUT, 0};
            zmq::poll(&item, 1, std::chrono::milliseconds(100));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
    consumer.join();
    const double elapsed = std::chrono::duration<double>(last - first).count();
    std::printf("stream_bytes_per_second %.0f\n", elapsed > 0 ? received_bytes / elapsed : 0.0);
    return 0;
}
