#pragma once

// Pieces shared by the image file writers: file naming, POSIX file access that keeps the failing
// errno, and the little-endian per-image block of the raw and DICOM formats.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/uio.h>

#include "sim/recorder/file_writers.h"

namespace qorsim::files {

/// Where the files of one recording go: the folder and the file path without its extension.
struct FileTarget {
    std::filesystem::path folder;
    std::filesystem::path stem;
};

/// Splits a recording's file path; a path naming an existing folder puts "image…" files into it.
FileTarget fileTarget(const std::filesystem::path& file);

/// "<stem>_000001<ext>": the file of the `number`-th image (1-based) of a one-file-per-image format.
std::filesystem::path numberedPath(const std::filesystem::path& stem, uint32_t number, const char* ext);

/// "<stem><ext>": the one file of a container format.
std::filesystem::path suffixedPath(const std::filesystem::path& stem, const char* ext);

/// Throws FileWriteError: kRecDiskFull for ENOSPC and EDQUOT, kRecFileWrite for any other errno.
[[noreturn]] void throwWriteFailure(int errnum, const std::string& what);

/// Throws FileWriteError(kRecInvalidArgument) unless the image has a size, 8 or 16 bits and pixels.
void checkFrame(const FrameInfo& info, const void* pixels);

/// Bytes of the pixels of one image.
uint64_t pixelBytes(uint32_t width, uint32_t height, uint16_t bits_per_pixel);
inline uint64_t pixelBytes(const FrameInfo& info) {
    return pixelBytes(info.width, info.height, info.bits_per_pixel);
}

/// An owned file descriptor, closed on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    /// Closes the descriptor; returns the errno of a failing close, else 0.
    int reset();

private:
    int fd_ = -1;
};

/// Creates (or truncates) a file for writing; throws FileWriteError from the errno on failure.
Fd createFile(const std::filesystem::path& path, bool readable = false);

/// Opens a file read-only; an invalid Fd when it cannot be opened.
Fd openForReading(const std::filesystem::path& path);

/// Writes all of `iov` at `offset`, resuming short writes; returns 0 or the errno of the failure.
int writeFully(int fd, const iovec* iov, int count, uint64_t offset);
inline int writeFully(int fd, const void* data, size_t size, uint64_t offset) {
    iovec iov{const_cast<void*>(data), size};
    return writeFully(fd, &iov, 1, offset);
}

/// Reads exactly `size` bytes at `offset`; false on an error or a short file.
bool readFully(int fd, void* data, size_t size, uint64_t offset);

/// Little-endian stores and loads into byte buffers.
void put16(uint8_t* p, uint16_t v);
void put32(uint8_t* p, uint32_t v);
void put64(uint8_t* p, uint64_t v);
uint16_t get16(const uint8_t* p);
uint32_t get32(const uint8_t* p);
uint64_t get64(const uint8_t* p);

/// The per-image block of the raw formats and of the DICOM private data.
inline constexpr size_t kImageBlockSize = 128;
void encodeImageBlock(uint8_t* out, const FrameInfo& info);
/// Fills the per-image fields of `info`; false when the block does not start with its magic.
bool decodeImageBlock(const uint8_t* in, FrameInfo& info);

/// The camera fields (geometry, serial, binning, name) at bytes 12 to 95 of the raw formats' headers.
inline constexpr size_t kCameraFieldsOffset = 12;
inline constexpr size_t kCameraFieldsEnd = 96;
void encodeCameraFields(uint8_t* header, const FrameInfo& info);
void decodeCameraFields(const uint8_t* header, FrameInfo& info);

/// Hexadecimal text of bytes and back; fromHex is false on a wrong length or digit.
std::string toHex(const void* data, size_t size);
bool fromHex(const std::string& text, void* data, size_t size);

/// Microseconds since 1970 of a time stamp record (for intervals between images).
int64_t timestampMicros(const QOR_Timestamp& ts);

/// Writers of the format families.
std::unique_ptr<ImageFileWriter> makeTiffWriter(const FileTarget& target, bool multipage,
                                                uint32_t expected_images);
std::unique_ptr<ImageFileWriter> makeQorRawWriter(const FileTarget& target);
std::unique_ptr<ImageFileWriter> makeB16Writer(const FileTarget& target);
std::unique_ptr<ImageFileWriter> makeDicomWriter(const FileTarget& target, bool multiframe);

}  // namespace qorsim::files
