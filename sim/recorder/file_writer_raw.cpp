// The two raw formats: qorraw (all images of a recording in one file) and b16 (one file per image).
// Both start with the same camera fields; docs/simulator.md gives their layout byte by byte.
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "sim/common/errors.h"
#include "sim/recorder/file_writer_support.h"

namespace qorsim::files {

namespace {

constexpr char kQorRawMagic[8] = {'Q', 'O', 'R', 'R', 'A', 'W', '1', '\0'};
constexpr uint32_t kQorRawHeaderSize = 128;
constexpr size_t kQorRawCountOffset = 96;

constexpr char kB16Magic[4] = {'Q', 'B', '1', '6'};
constexpr uint32_t kB16Version = 1;
constexpr uint32_t kB16HeaderSize = 256;

bool sameGeometry(const FrameInfo& a, const FrameInfo& b) {
    return a.width == b.width && a.height == b.height && a.bits_per_pixel == b.bits_per_pixel;
}

class QorRawWriter final : public ImageFileWriter {
public:
    explicit QorRawWriter(const FileTarget& target) : path_(suffixedPath(target.stem, ".qorraw")) {}

    void write(const FrameInfo& info, const void* pixels) override {
        checkFrame(info, pixels);
        std::lock_guard lock(mutex_);
        if (finished_) {
            throw FileWriteError(err::kRecFileWrite, "recording already finished: " + path_.string());
        }
        if (!fd_) {
            start(info);
        } else if (!sameGeometry(info, first_)) {
            throw FileWriteError(err::kRecInvalidArgument, "image size differs within " + path_.string());
        }
        uint8_t block[kImageBlockSize];
        encodeImageBlock(block, info);
        const uint64_t offset = kQorRawHeaderSize + uint64_t{count_} * recordSize();
        const iovec iov[2] = {{block, sizeof block}, {const_cast<void*>(pixels), pixelBytes(info)}};
        int error = writeFully(fd_.get(), iov, 2, offset);
        if (error == 0) {
            // The count goes out only after its record is complete, so it never names a torn record.
            uint8_t count[4];
            put32(count, count_ + 1);
            error = writeFully(fd_.get(), count, sizeof count, kQorRawCountOffset);
        }
        if (error != 0) {
            (void)::ftruncate(fd_.get(), static_cast<off_t>(offset));
            throwWriteFailure(error, "cannot write image to " + path_.string());
        }
        ++count_;
    }

    void finish() noexcept override {
        std::lock_guard lock(mutex_);
        finished_ = true;
        fd_.reset();
    }

    uint32_t count() const override {
        std::lock_guard lock(mutex_);
        return count_;
    }

    bool read(uint32_t index, FrameInfo& info, std::vector<uint8_t>& pixels) const override {
        std::lock_guard lock(mutex_);
        if (index >= count_) {
            return false;
        }
        const Fd fd = openForReading(path_);
        uint8_t header[kQorRawHeaderSize];
        if (!fd || !readFully(fd.get(), header, sizeof header, 0) ||
            std::memcmp(header, kQorRawMagic, sizeof kQorRawMagic) != 0 || index >= get32(header + 96)) {
            return false;
        }
        const uint32_t header_size = get32(header + 8);
        const uint32_t block_size = get32(header + 100);
        const uint64_t record_size = get64(header + 104);
        FrameInfo result;
        decodeCameraFields(header, result);
        const uint64_t bytes = pixelBytes(result);
        if (block_size < kImageBlockSize || record_size != block_size + bytes) {
            return false;
        }
        const uint64_t offset = header_size + uint64_t{index} * record_size;
        uint8_t block[kImageBlockSize];
        pixels.resize(bytes);
        if (!readFully(fd.get(), block, sizeof block, offset) || !decodeImageBlock(block, result) ||
            !readFully(fd.get(), pixels.data(), bytes, offset + block_size)) {
            return false;
        }
        info = result;
        return true;
    }

    std::vector<std::filesystem::path> files() const override {
        std::lock_guard lock(mutex_);
        if (count_ == 0 && !fd_) {
            return {};
        }
        return {path_};
    }

private:
    uint64_t recordSize() const { return kImageBlockSize + pixelBytes(first_); }

    // Creates the file with its header and an image count of 0; the first image fixes the geometry.
    void start(const FrameInfo& info) {
        Fd fd = createFile(path_);
        first_ = info;
        uint8_t header[kQorRawHeaderSize] = {};
        std::memcpy(header, kQorRawMagic, sizeof kQorRawMagic);
        put32(header + 8, kQorRawHeaderSize);
        encodeCameraFields(header, info);
        put32(header + kQorRawCountOffset, 0);
        put32(header + 100, kImageBlockSize);
        put64(header + 104, recordSize());
        if (const int error = writeFully(fd.get(), header, sizeof header, 0); error != 0) {
            fd.reset();
            ::unlink(path_.c_str());
            throwWriteFailure(error, "cannot write header of " + path_.string());
        }
        fd_ = std::move(fd);
    }

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    Fd fd_;
    FrameInfo first_;
    uint32_t count_ = 0;
    bool finished_ = false;
};

class B16Writer final : public ImageFileWriter {
public:
    explicit B16Writer(const FileTarget& target) : stem_(target.stem) {}

    void write(const FrameInfo& info, const void* pixels) override {
        checkFrame(info, pixels);
        std::lock_guard lock(mutex_);
        const std::filesystem::path path = numberedPath(stem_, static_cast<uint32_t>(files_.size()) + 1, ".b16");
        uint8_t header[kB16HeaderSize] = {};
        std::memcpy(header, kB16Magic, sizeof kB16Magic);
        put32(header + 4, kB16Version);
        put32(header + 8, kB16HeaderSize);
        encodeCameraFields(header, info);
        encodeImageBlock(header + 128, info);
        const iovec iov[2] = {{header, sizeof header}, {const_cast<void*>(pixels), pixelBytes(info)}};
        Fd fd = createFile(path);
        int error = writeFully(fd.get(), iov, 2, 0);
        if (const int close_error = fd.reset(); error == 0) {
            error = close_error;
        }
        if (error != 0) {
            ::unlink(path.c_str());
            throwWriteFailure(error, "cannot write " + path.string());
        }
        files_.push_back(path);
    }

    void finish() noexcept override {}

    uint32_t count() const override {
        std::lock_guard lock(mutex_);
        return static_cast<uint32_t>(files_.size());
    }

    bool read(uint32_t index, FrameInfo& info, std::vector<uint8_t>& pixels) const override {
        std::lock_guard lock(mutex_);
        if (index >= files_.size()) {
            return false;
        }
        const Fd fd = openForReading(files_[index]);
        uint8_t header[kB16HeaderSize];
        if (!fd || !readFully(fd.get(), header, sizeof header, 0) ||
            std::memcmp(header, kB16Magic, sizeof kB16Magic) != 0) {
            return false;
        }
        FrameInfo result;
        decodeCameraFields(header, result);
        if (!decodeImageBlock(header + 128, result)) {
            return false;
        }
        pixels.resize(pixelBytes(result));
        if (!readFully(fd.get(), pixels.data(), pixels.size(), get32(header + 8))) {
            return false;
        }
        info = result;
        return true;
    }

    std::vector<std::filesystem::path> files() const override {
        std::lock_guard lock(mutex_);
        return files_;
    }

private:
    const std::filesystem::path stem_;
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> files_;
};

}  // namespace

std::unique_ptr<ImageFileWriter> makeQorRawWriter(const FileTarget& target) {
    return std::make_unique<QorRawWriter>(target);
}

std::unique_ptr<ImageFileWriter> makeB16Writer(const FileTarget& target) {
    return std::make_unique<B16Writer>(target);
}

}  // namespace qorsim::files
