// The TIFF formats: one file per image (tif) and one multi-page file (multitif), written with libtiff
// through our own I/O callbacks so that the errno of a failing write reaches the caller.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include "sim/common/errors.h"
#include "sim/recorder/file_writer_support.h"

namespace qorsim::files {

namespace {

constexpr const char* kSoftware = "qor_recorder 3";
// Room kept below 4 GiB for a classic TIFF's directories.
constexpr uint64_t kClassicTiffLimit = 0xFFFFFFFFull - (64u << 20);

// State behind libtiff's client handle: the descriptor, the first errno and libtiff's last message.
struct TiffIo {
    int fd = -1;
    int error = 0;
    bool refuse_writes = false;
    std::string message;
};

tmsize_t tiffRead(thandle_t handle, void* data, tmsize_t size) {
    auto* io = static_cast<TiffIo*>(handle);
    auto* p = static_cast<uint8_t*>(data);
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(io->fd, p + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += n;
    }
    return done;
}

tmsize_t tiffWrite(thandle_t handle, void* data, tmsize_t size) {
    auto* io = static_cast<TiffIo*>(handle);
    if (io->refuse_writes) {
        return -1;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(io->fd, p + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            if (io->error == 0) {
                io->error = errno;
            }
            return -1;
        }
        done += n;
    }
    return done;
}

toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
    const off_t result = ::lseek(static_cast<TiffIo*>(handle)->fd, static_cast<off_t>(offset), whence);
    return result < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(result);
}

int tiffClose(thandle_t) {
    return 0;  // the writer owns the descriptor
}

toff_t tiffSize(thandle_t handle) {
    struct stat st {};
    return ::fstat(static_cast<TiffIo*>(handle)->fd, &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}

int tiffMap(thandle_t, void**, toff_t*) {
    return 0;
}

void tiffUnmap(thandle_t, void*, toff_t) {}

int keepMessage(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    if (user != nullptr) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        static_cast<TiffIo*>(user)->message = std::string(module ? module : "libtiff") + ": " + text;
    }
    return 1;  // handled: libtiff prints nothing
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TIFFOpenOptions* openOptions(TiffIo* io) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepMessage, io);
    TIFFOpenOptionsSetWarningHandlerExtR(options, keepMessage, nullptr);
    return options;
}

TIFF* openClient(TiffIo& io, const std::filesystem::path& path, const char* mode) {
    TIFFOpenOptions* options = openOptions(&io);
    TIFF* tif = TIFFClientOpenExt(path.c_str(), mode, &io, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
                                  tiffMap, tiffUnmap, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

std::string timestampText(const QOR_Timestamp& ts) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%06u", ts.wYear, ts.wMonth, ts.wDay, ts.wHour,
                  ts.wMinute, ts.wSecond, ts.dwMicroSeconds);
    return text;
}

std::string description(const FrameInfo& info) {
    std::string name = info.camera_name;
    for (char& c : name) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::string text;
    text += "image_number=" + std::to_string(info.image_number) + "\n";
    text += "exposure_ns=" + std::to_string(info.exposure_ns) + "\n";
    text += "delay_ns=" + std::to_string(info.delay_ns) + "\n";
    text += "serial=" + std::to_string(info.serial) + "\n";
    text += "camera_name=" + name + "\n";
    text += "bit_resolution=" + std::to_string(info.bit_resolution) + "\n";
    text += "binning=" + std::to_string(info.binning_horz) + "x" + std::to_string(info.binning_vert) + "\n";
    text += "timestamp=" + timestampText(info.timestamp) + "\n";
    text += "timestamp_counter=" + std::to_string(info.timestamp.dwImgCounter) + "\n";
    if (info.has_metadata) {
        text += "metadata=" + toHex(&info.metadata, sizeof info.metadata) + "\n";
    }
    return text;
}

void parseDescription(std::string_view text, FrameInfo& info) {
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view key = line.substr(0, eq);
        const std::string value(line.substr(eq + 1));
        const unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
        if (key == "image_number") {
            info.image_number = static_cast<uint32_t>(number);
        } else if (key == "exposure_ns") {
            info.exposure_ns = number;
        } else if (key == "delay_ns") {
            info.delay_ns = number;
        } else if (key == "serial") {
            info.serial = static_cast<uint32_t>(number);
        } else if (key == "camera_name") {
            info.camera_name = value;
        } else if (key == "bit_resolution") {
            info.bit_resolution = static_cast<uint16_t>(number);
        } else if (key == "binning") {
            unsigned h = 1, v = 1;
            if (std::sscanf(value.c_str(), "%ux%u", &h, &v) == 2) {
                info.binning_horz = static_cast<uint16_t>(h);
                info.binning_vert = static_cast<uint16_t>(v);
            }
        } else if (key == "timestamp") {
            unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, us = 0;
            if (std::sscanf(value.c_str(), "%u-%u-%uT%u:%u:%u.%u", &y, &mo, &d, &h, &mi, &s, &us) == 7) {
                info.timestamp.wSize = sizeof(QOR_Timestamp);
                info.timestamp.wYear = static_cast<uint16_t>(y);
                info.timestamp.wMonth = static_cast<uint16_t>(mo);
                info.timestamp.wDay = static_cast<uint16_t>(d);
                info.timestamp.wHour = static_cast<uint16_t>(h);
                info.timestamp.wMinute = static_cast<uint16_t>(mi);
                info.timestamp.wSecond = static_cast<uint16_t>(s);
                info.timestamp.dwMicroSeconds = us;
            }
        } else if (key == "timestamp_counter") {
            info.timestamp.dwImgCounter = static_cast<uint32_t>(number);
        } else if (key == "metadata") {
            info.has_metadata = fromHex(value, &info.metadata, sizeof info.metadata);
        }
    }
}

// Writes one image as the current directory: tags, one strip of raw pixels, the directory.
bool writePage(TIFF* tif, const FrameInfo& info, const void* pixels, int64_t page) {
    const QOR_Timestamp& ts = info.timestamp;
    char date[48];
    std::snprintf(date, sizeof date, "%04u:%02u:%02u %02u:%02u:%02u", ts.wYear, ts.wMonth, ts.wDay, ts.wHour,
                  ts.wMinute, ts.wSecond);
    const uint16_t bits = info.bits_per_pixel;
    const uint16_t resolution = info.bit_resolution > 0 && info.bit_resolution < bits ? info.bit_resolution : bits;
    const std::string text = description(info);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, info.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, info.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t{1});
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, info.height);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 1.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 1.0);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_NONE);
    TIFFSetField(tif, TIFFTAG_MAXSAMPLEVALUE, static_cast<uint16_t>((1u << resolution) - 1));
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, text.c_str());
    TIFFSetField(tif, TIFFTAG_DATETIME, date);
    TIFFSetField(tif, TIFFTAG_SOFTWARE, kSoftware);
    if (!info.camera_name.empty()) {
        TIFFSetField(tif, TIFFTAG_MODEL, info.camera_name.c_str());
    }
    if (page >= 0) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        if (page <= 0xFFFF) {
            TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(page), uint16_t{0});
        }
    }
    const auto bytes = static_cast<tmsize_t>(pixelBytes(info));
    // Raw strips go to the file as they are, so libtiff neither copies nor changes the pixels.
    return TIFFWriteRawStrip(tif, 0, const_cast<void*>(pixels), bytes) == bytes && TIFFWriteDirectory(tif) != 0;
}

[[noreturn]] void throwTiffFailure(const TiffIo& io, const std::filesystem::path& path) {
    if (io.error != 0) {
        throwWriteFailure(io.error, "cannot write " + path.string());
    }
    throw FileWriteError(err::kRecFileWrite, "cannot write " + path.string() + ": " + io.message);
}

// Directory chain of a TIFF file: the header's pointer to the first directory sits at offset 4
// (BigTIFF: 8); each directory holds its entry count, the entries and the pointer to the next one.
bool readPointer(int fd, uint64_t at, bool big, uint64_t& value) {
    uint8_t bytes[8] = {};
    if (!readFully(fd, bytes, big ? 8 : 4, at)) {
        return false;
    }
    value = big ? get64(bytes) : get32(bytes);
    return true;
}

// Where directory `directory` keeps its pointer to the next one; 0 when it cannot be read.
uint64_t nextPointerAt(int fd, uint64_t directory, bool big) {
    uint8_t count[8] = {};
    if (!readFully(fd, count, big ? 8 : 2, directory)) {
        return 0;
    }
    return big ? directory + 8 + get64(count) * 20 : directory + 2 + uint64_t{get16(count)} * 12;
}

uint64_t firstPointerAt(bool big) {
    return big ? 8 : 4;
}

// Ends the directory chain before the first directory that starts at or after `end`, so that the
// pages before stay the whole file once it is cut back to `end`.
bool cutDirectoryChain(int fd, uint64_t end, bool big, uint32_t max_pages) {
    uint64_t link = firstPointerAt(big);
    for (uint32_t page = 0; page <= max_pages && link != 0; ++page) {
        uint64_t directory = 0;
        if (!readPointer(fd, link, big, directory)) {
            return false;
        }
        if (directory == 0) {
            return true;
        }
        if (directory >= end) {
            const uint8_t zero[8] = {};
            return writeFully(fd, zero, big ? 8 : 4, link) == 0;
        }
        link = nextPointerAt(fd, directory, big);
    }
    return false;
}

class TiffWriter final : public ImageFileWriter {
public:
    TiffWriter(const FileTarget& target, bool multipage, uint32_t expected_images)
        : stem_(target.stem), multipage_(multipage), expected_images_(expected_images),
          path_(suffixedPath(target.stem, ".tif")) {}

    ~TiffWriter() override { finish(); }

    void write(const FrameInfo& info, const void* pixels) override {
        checkFrame(info, pixels);
        std::lock_guard lock(mutex_);
        if (multipage_) {
            appendPage(info, pixels);
        } else {
            writeFile(info, pixels);
        }
    }

    void finish() noexcept override {
        std::lock_guard lock(mutex_);
        finished_ = true;
        tif_.reset();
        fd_.reset();
    }

    uint32_t count() const override {
        std::lock_guard lock(mutex_);
        return multipage_ ? pages_ : static_cast<uint32_t>(files_.size());
    }

    bool read(uint32_t index, FrameInfo& info, std::vector<uint8_t>& pixels) const override {
        std::lock_guard lock(mutex_);
        if (index >= (multipage_ ? pages_ : files_.size())) {
            return false;
        }
        TIFFOpenOptions* options = openOptions(nullptr);
        TiffPtr tif(TIFFOpenExt((multipage_ ? path_ : files_[index]).c_str(), "r", options));
        TIFFOpenOptionsFree(options);
        if (!tif || (multipage_ && !TIFFSetDirectory(tif.get(), static_cast<tdir_t>(index)))) {
            return false;
        }
        FrameInfo result;
        uint16_t samples = 0, compression = 0;
        char* text = nullptr;
        if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &result.width) ||
            !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &result.height) ||
            !TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &result.bits_per_pixel) ||
            !TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples) ||
            !TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression) || samples != 1 ||
            compression != COMPRESSION_NONE || (result.bits_per_pixel != 8 && result.bits_per_pixel != 16)) {
            return false;
        }
        result.bit_resolution = result.bits_per_pixel;
        if (TIFFGetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, &text) && text != nullptr) {
            parseDescription(text, result);
        }
        pixels.resize(pixelBytes(result));
        size_t done = 0;
        for (uint32_t strip = 0; strip < TIFFNumberOfStrips(tif.get()) && done < pixels.size(); ++strip) {
            const tmsize_t n = TIFFReadEncodedStrip(tif.get(), strip, pixels.data() + done,
                                                    static_cast<tmsize_t>(pixels.size() - done));
            if (n < 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (done != pixels.size()) {
            return false;
        }
        info = result;
        return true;
    }

    std::vector<std::filesystem::path> files() const override {
        std::lock_guard lock(mutex_);
        if (multipage_) {
            return pages_ > 0 || fd_ ? std::vector<std::filesystem::path>{path_} : std::vector<std::filesystem::path>{};
        }
        return files_;
    }

private:
    void writeFile(const FrameInfo& info, const void* pixels) {
        const std::filesystem::path path = numberedPath(stem_, static_cast<uint32_t>(files_.size()) + 1, ".tif");
        Fd fd = createFile(path, true);
        TiffIo io;
        io.fd = fd.get();
        const bool big = pixelBytes(info) > kClassicTiffLimit;
        bool ok = false;
        if (TiffPtr tif{openClient(io, path, big ? "w8" : "w")}) {
            ok = writePage(tif.get(), info, pixels, -1);
        }
        const int close_error = fd.reset();
        if (!ok || io.error != 0 || close_error != 0) {
            ::unlink(path.c_str());
            if (io.error == 0 && close_error != 0) {
                io.error = close_error;
            }
            throwTiffFailure(io, path);
        }
        files_.push_back(path);
    }

    void appendPage(const FrameInfo& info, const void* pixels) {
        if (finished_) {
            throw FileWriteError(err::kRecFileWrite, "recording already finished: " + path_.string());
        }
        const uint64_t bytes = pixelBytes(info);
        if (!fd_) {
            // A recording of unknown length gets BigTIFF, which has no 4 GiB limit.
            big_ = expected_images_ == 0 || uint64_t{expected_images_} * (bytes + 1024) > kClassicTiffLimit;
            fd_ = createFile(path_, true);
            io_ = TiffIo{};
            io_.fd = fd_.get();
            tif_.reset(openClient(io_, path_, big_ ? "w8" : "w"));
            if (!tif_) {
                fd_.reset();
                ::unlink(path_.c_str());
                throwTiffFailure(io_, path_);
            }
        } else if (!tif_) {
            // After a failed page the file was repaired and closed; further pages are appended.
            io_ = TiffIo{};
            io_.fd = fd_.get();
            ::lseek(fd_.get(), 0, SEEK_SET);  // libtiff reads the header from the current position
            tif_.reset(openClient(io_, path_, "a"));
            if (!tif_) {
                throwTiffFailure(io_, path_);
            }
        }
        const off_t end = ::lseek(fd_.get(), 0, SEEK_END);
        if (end < 0) {
            throwWriteFailure(errno, "cannot write " + path_.string());
        }
        if (!big_ && static_cast<uint64_t>(end) + bytes > kClassicTiffLimit) {
            throw FileWriteError(err::kRecFileWrite, "classic TIFF cannot grow beyond 4 GiB: " + path_.string());
        }
        if (!writePage(tif_.get(), info, pixels, pages_)) {
            const TiffIo failed = io_;
            abandonPage(static_cast<uint64_t>(end));
            throwTiffFailure(failed, path_);
        }
        ++pages_;
    }

    // Drops what a failed page left behind: the directory link to it and its bytes at the end.
    void abandonPage(uint64_t end) {
        io_.refuse_writes = true;
        tif_.reset();
        if (pages_ == 0) {
            fd_.reset();
            ::unlink(path_.c_str());
            return;
        }
        if (cutDirectoryChain(fd_.get(), end, big_, pages_)) {
            (void)::ftruncate(fd_.get(), static_cast<off_t>(end));
        }
    }

    const std::filesystem::path stem_;
    const bool multipage_;
    const uint32_t expected_images_;
    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> files_;  // tif: one per image
    Fd fd_;                                     // multitif: the open file, its libtiff handle
    TiffIo io_;
    TiffPtr tif_;
    bool big_ = false;
    uint32_t pages_ = 0;
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<ImageFileWriter> makeTiffWriter(const FileTarget& target, bool multipage, uint32_t expected_images) {
    return std::make_unique<TiffWriter>(target, multipage, expected_images);
}

}  // namespace qorsim::files
