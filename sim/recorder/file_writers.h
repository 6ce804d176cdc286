#pragma once

// Image files of the recorder's file modes: writing recorded images and reading them back.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera/vendor/qor_camsys.h"

namespace qorsim {

/// What is known of one recorded image besides its pixels.
struct FrameInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits_per_pixel = 16;  // storage width: 16, or 8 for cameras recording 8-bit data
    uint16_t bit_resolution = 16;  // significant bits of the sensor data
    uint32_t image_number = 0;     // 1-based number of the image within the recording
    uint64_t exposure_ns = 0;
    uint64_t delay_ns = 0;
    uint32_t serial = 0;
    std::string camera_name;
    uint16_t binning_horz = 1;
    uint16_t binning_vert = 1;
    bool has_metadata = false;
    QOR_Metadata metadata{};
    QOR_Timestamp timestamp{};     // time of the exposure, always filled
};

/// A failure to write an image file; `status` is the recorder status to report.
class FileWriteError : public std::runtime_error {
public:
    FileWriteError(int32_t status, const std::string& what) : std::runtime_error(what), status_(status) {}
    int32_t status() const { return status_; }

private:
    int32_t status_;
};

/// Writes the images of one recording in one file format, and reads them back.
class ImageFileWriter {
public:
    virtual ~ImageFileWriter() = default;

    /// Appends one image (width × height pixels of bits_per_pixel, rows without padding).
    /// Throws FileWriteError (disk full: kRecDiskFull, other failures: kRecFileWrite); files written
    /// before stay complete and readable.
    virtual void write(const FrameInfo& info, const void* pixels) = 0;

    /// Completes the files of the recording; called once when the recording ends. Never throws.
    virtual void finish() noexcept = 0;

    /// Number of images written so far.
    virtual uint32_t count() const = 0;

    /// Reads image `index` (0-based, in writing order) back into `pixels` (resized to
    /// width × height × bits_per_pixel / 8 bytes) and fills `info`. Returns false when the image
    /// cannot be read.
    virtual bool read(uint32_t index, FrameInfo& info, std::vector<uint8_t>& pixels) const = 0;

    /// The files written so far, in order.
    virtual std::vector<std::filesystem::path> files() const = 0;
};

/// Creates the writer of a file-mode type (1 tif, 2 multitif, 3 qorraw, 4 b16, 5 dicom, 6 multidicom)
/// for the given file path; `expected_images` is the image count the recording is set up for (0: not
/// known), from which multitif chooses between classic TIFF and BigTIFF. Throws
/// FileWriteError(kRecInvalidMode) for other types and FileWriteError(kRecFolderNotWritable) when
/// the folder does not exist or is not writable.
std::unique_ptr<ImageFileWriter> makeImageFileWriter(uint16_t type, const std::filesystem::path& file,
                                                     uint32_t expected_images = 0);

/// Bytes one image of that size takes on disk in that format (for the capacity from free space);
/// 0 for a type that is no file format.
uint64_t imageFileBytes(uint16_t type, uint32_t width, uint32_t height, uint16_t bits_per_pixel);

}  // namespace qorsim
