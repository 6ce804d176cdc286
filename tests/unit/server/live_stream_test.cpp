// The live stream on a simulated camera in-process: readers share one copy and encoding per image,
// never see an image twice or an older one, keep their own frame rate, and end when the recording
// stops, when the stream closes or when they were never given a recording.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/camera_control.h"
#include "server/live_stream.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using Status = LiveStream::Reader::Status;

class LiveStreamTest : public qortest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        loadCamera("mono");
        control_ = std::make_unique<CameraControl>(-1, -1);
        qor::Configuration c;
        c.roi = qor::Roi{1, 1, 128, 64};
        c.exposure_time_s = 0.005;
        ASSERT_TRUE(control_->setConfiguration(c));
        stream_ = std::make_unique<LiveStream>(control_.get(), 3);
    }

    void TearDown() override {
        stream_.reset();
        control_.reset();
        SimTest::TearDown();
    }

    void record(qor::RecordMode mode) {
        stream_->recordingStarted(mode);
        ASSERT_TRUE(control_->record(20, mode, {}, 0));
    }

    /// The next `count` frames of a reader (bounded by a deadline); fewer when the stream ended.
    static std::vector<std::shared_ptr<const StreamFrame>> take(LiveStream::Reader& reader, size_t count,
                                                                std::chrono::milliseconds pause = 0ms) {
        std::vector<std::shared_ptr<const StreamFrame>> frames;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::shared_ptr<const StreamFrame> frame;
            const Status status = reader.next(frame);
            if (status == Status::ended) break;
            if (status == Status::frame) {
                frames.push_back(frame);
                std::this_thread::sleep_for(pause);
            }
        }
        return frames;
    }

    static void expectRising(const std::vector<std::shared_ptr<const StreamFrame>>& frames) {
        for (size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i]->image_number, frames[i - 1]->image_number);
    }

    std::unique_ptr<CameraControl> control_;
    std::unique_ptr<LiveStream> stream_;
};

TEST_F(LiveStreamTest, ReadersShareEachImageAndSeeOnlyNewerOnes) {
    record(qor::RecordMode::ring_buffer);
    qorsim::clearCalls();
    std::vector<std::vector<std::shared_ptr<const StreamFrame>>> seen(3);
    {
        std::vector<std::shared_ptr<LiveStream::Reader>> readers;
        for (int i = 0; i < 3; ++i) readers.push_back(stream_->open(StreamSettings{}, 0));
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([&, i] { seen[static_cast<size_t>(i)] = take(*readers[static_cast<size_t>(i)], 8); });
        for (auto& t : threads) t.join();
    }
    std::set<uint32_t> distinct;
    for (const auto& frames : seen) {
        ASSERT_EQ(frames.size(), 8u);
        expectRising(frames);
        for (const auto& f : frames) distinct.insert(f->image_number);
        const std::string& part = frames.front()->part;
        EXPECT_EQ(part.rfind("--qorframe\r\nContent-Type: image/jpeg\r\nContent-Length: ", 0), 0u);
        EXPECT_NE(part.find("\r\nformat: \"Mono8\"\r\n"), std::string::npos);
        EXPECT_NE(part.find("\r\ncrop: {\"x0\":1,\"x1\":128,\"y0\":1,\"y1\":64}\r\n"), std::string::npos);
    }
    // One copy out of the recorder per image shown, however many readers watch it.
    EXPECT_LE(qorsim::callCount("QOR_RecorderCopyImage"), static_cast<int>(distinct.size()) + 1);
}

TEST_F(LiveStreamTest, ASlowReaderSkipsImagesAndAFrameRateLimitHolds) {
    record(qor::RecordMode::ring_buffer);
    auto slow = stream_->open(StreamSettings{}, 0);
    const auto slow_frames = take(*slow, 4, 120ms);
    ASSERT_EQ(slow_frames.size(), 4u);
    expectRising(slow_frames);
    EXPECT_GT(slow_frames.back()->image_number - slow_frames.front()->image_number, 3u) << "images were skipped";

    auto limited = stream_->open(StreamSettings{}, 10);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(take(*limited, 4).size(), 4u);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 280ms) << "at most 10 frames a second";
}

TEST_F(LiveStreamTest, FifoImagesAreShownOnceEach) {
    record(qor::RecordMode::fifo);
    auto reader = stream_->open(StreamSettings{}, 0);
    const auto frames = take(*reader, 6);
    ASSERT_EQ(frames.size(), 6u);
    expectRising(frames);
}

TEST_F(LiveStreamTest, ReadersEndWhenTheRecordingStopsOrTheStreamCloses) {
    auto idle = stream_->open(StreamSettings{}, 0);
    EXPECT_TRUE(take(*idle, 1).empty()) << "no recording: the reader ends at once";
    idle.reset();

    record(qor::RecordMode::ring_buffer);
    auto reader = stream_->open(StreamSettings{}, 0);
    ASSERT_EQ(take(*reader, 2).size(), 2u);
    ASSERT_TRUE(control_->stop());
    EXPECT_LE(take(*reader, 100).size(), 1u) << "at most the image in flight, then the end";
    reader.reset();

    record(qor::RecordMode::ring_buffer);
    auto again = stream_->open(StreamSettings{}, 0);
    ASSERT_EQ(take(*again, 1).size(), 1u) << "a new recording streams again";
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        stream_->close();
    });
    const auto begin = std::chrono::steady_clock::now();
    take(*again, 1000);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_EQ(stream_->open(StreamSettings{}, 0), nullptr) << "a closed stream takes no readers";
}

TEST_F(LiveStreamTest, ReaderLimitCountsOpenReaders) {
    std::vector<std::shared_ptr<LiveStream::Reader>> readers;
    for (int i = 0; i < 3; ++i) readers.push_back(stream_->open(StreamSettings{}, 0));
    EXPECT_EQ(stream_->readers(), 3u);
    EXPECT_EQ(stream_->open(StreamSettings{}, 0), nullptr);
    readers.pop_back();
    EXPECT_NE(stream_->open(StreamSettings{}, 0), nullptr);
}

}  // namespace
