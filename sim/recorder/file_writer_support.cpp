#include "sim/recorder/file_writer_support.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

#include "sim/common/errors.h"

namespace qorsim::files {

// The raw formats are little-endian and copy the packed camera records and the pixels as they are
// in memory, which is only right on a little-endian host.
static_assert(std::endian::native == std::endian::little, "file formats assume a little-endian host");
static_assert(sizeof(QOR_Timestamp) == 22 && sizeof(QOR_Metadata) == 69, "packed camera records");

FileTarget fileTarget(const std::filesystem::path& file) {
    std::error_code ec;
    if (!file.has_filename() || std::filesystem::is_directory(file, ec)) {
        return {file, file / "image"};
    }
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::filesystem::path stem = file;
    stem.replace_extension();
    return {folder, stem};
}

std::filesystem::path numberedPath(const std::filesystem::path& stem, uint32_t number, const char* ext) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%06u%s", number, ext);
    std::filesystem::path path = stem;
    path += suffix;
    return path;
}

std::filesystem::path suffixedPath(const std::filesystem::path& stem, const char* ext) {
    std::filesystem::path path = stem;
    path += ext;
    return path;
}

void throwWriteFailure(int errnum, const std::string& what) {
    const bool full = errnum == ENOSPC || errnum == EDQUOT;
    throw FileWriteError(full ? err::kRecDiskFull : err::kRecFileWrite, what + ": " + std::strerror(errnum));
}

void checkFrame(const FrameInfo& info, const void* pixels) {
    if (pixels == nullptr || info.width == 0 || info.height == 0 ||
        (info.bits_per_pixel != 8 && info.bits_per_pixel != 16)) {
        throw FileWriteError(err::kRecInvalidArgument, "image without pixels, size or a bit depth of 8 or 16");
    }
}

uint64_t pixelBytes(uint32_t width, uint32_t height, uint16_t bits_per_pixel) {
    return uint64_t{width} * height * (bits_per_pixel > 8 ? 2 : 1);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

int Fd::reset() {
    if (fd_ < 0) {
        return 0;
    }
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
}

Fd createFile(const std::filesystem::path& path, bool readable) {
    const int flags = (readable ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        throwWriteFailure(errno, "cannot create " + path.string());
    }
    return Fd(fd);
}

Fd openForReading(const std::filesystem::path& path) {
    return Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

int writeFully(int fd, const iovec* iov, int count, uint64_t offset) {
    iovec parts[8];
    if (count > 8) {
        return EINVAL;
    }
    std::memcpy(parts, iov, sizeof(iovec) * static_cast<size_t>(count));
    iovec* next = parts;
    int left = count;
    while (left > 0) {
        const ssize_t n = ::pwritev(fd, next, left, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        // A short write is resumed; a second call then reports the cause (ENOSPC on a full disk).
        offset += static_cast<uint64_t>(n);
        size_t done = static_cast<size_t>(n);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<uint8_t*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return 0;
}

bool readFully(int fd, void* data, size_t size, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}

void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const uint8_t* p) {
    return get16(p) | (uint32_t{get16(p + 2)} << 16);
}

uint64_t get64(const uint8_t* p) {
    return get32(p) | (uint64_t{get32(p + 4)} << 32);
}

namespace {
constexpr char kImageBlockMagic[4] = {'Q', 'I', 'M', 'G'};
constexpr size_t kCameraNameField = 64;
}  // namespace

void encodeImageBlock(uint8_t* out, const FrameInfo& info) {
    std::memset(out, 0, kImageBlockSize);
    std::memcpy(out, kImageBlockMagic, 4);
    put32(out + 4, info.image_number);
    put64(out + 8, info.exposure_ns);
    put64(out + 16, info.delay_ns);
    std::memcpy(out + 24, &info.timestamp, sizeof(QOR_Timestamp));
    out[46] = info.has_metadata ? 1 : 0;
    if (info.has_metadata) {
        std::memcpy(out + 48, &info.metadata, sizeof(QOR_Metadata));
    }
}

bool decodeImageBlock(const uint8_t* in, FrameInfo& info) {
    if (std::memcmp(in, kImageBlockMagic, 4) != 0) {
        return false;
    }
    info.image_number = get32(in + 4);
    info.exposure_ns = get64(in + 8);
    info.delay_ns = get64(in + 16);
    std::memcpy(&info.timestamp, in + 24, sizeof(QOR_Timestamp));
    info.has_metadata = in[46] != 0;
    info.metadata = QOR_Metadata{};
    if (info.has_metadata) {
        std::memcpy(&info.metadata, in + 48, sizeof(QOR_Metadata));
    }
    return true;
}

void encodeCameraFields(uint8_t* header, const FrameInfo& info) {
    uint8_t* p = header + kCameraFieldsOffset;
    std::memset(p, 0, kCameraFieldsEnd - kCameraFieldsOffset);
    put32(p, info.width);
    put32(p + 4, info.height);
    put16(p + 8, info.bits_per_pixel);
    put16(p + 10, info.bit_resolution);
    put32(p + 12, info.serial);
    put16(p + 16, info.binning_horz);
    put16(p + 18, info.binning_vert);
    std::memcpy(p + 20, info.camera_name.data(), std::min(info.camera_name.size(), kCameraNameField - 1));
}

void decodeCameraFields(const uint8_t* header, FrameInfo& info) {
    const uint8_t* p = header + kCameraFieldsOffset;
    info.width = get32(p);
    info.height = get32(p + 4);
    info.bits_per_pixel = get16(p + 8);
    info.bit_resolution = get16(p + 10);
    info.serial = get32(p + 12);
    info.binning_horz = get16(p + 16);
    info.binning_vert = get16(p + 18);
    const char* name = reinterpret_cast<const char*>(p + 20);
    info.camera_name.assign(name, strnlen(name, kCameraNameField));
}

std::string toHex(const void* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string text(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[p[i] >> 4];
        text[2 * i + 1] = kDigits[p[i] & 15];
    }
    return text;
}

bool fromHex(const std::string& text, void* data, size_t size) {
    if (text.size() != size * 2) {
        return false;
    }
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    auto* p = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        const int hi = digit(text[2 * i]);
        const int lo = digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        p[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

int64_t timestampMicros(const QOR_Timestamp& ts) {
    // Days since 1970-01-01 of a proleptic Gregorian date, defined for any field values.
    int64_t y = ts.wYear;
    const int64_t m = ts.wMonth;
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + ts.wDay - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    const int64_t seconds = days * 86400 + ts.wHour * 3600 + ts.wMinute * 60 + ts.wSecond;
    return seconds * 1000000 + ts.dwMicroSeconds;
}

}  // namespace qorsim::files
