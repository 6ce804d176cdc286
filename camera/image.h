#pragma once

// One image as delivered by the camera library: raw and converted pixels, crop, formats,
// recorder image number and the optional metadata and time-stamp blocks.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "camera/pixel_allocator.h"
#include "camera/types.h"

namespace qor {

/// Pixel buffers of 8-bit and 16-bit elements.
using PixelBytes = std::vector<uint8_t, PixelAllocator<uint8_t>>;
using PixelWords = std::vector<uint16_t, PixelAllocator<uint16_t>>;

/// A plain value that owns its pixel buffers; copied and moved with them.
class Image {
public:
    using PixelData = std::variant<std::monostate, PixelBytes, PixelWords>;

    /// An image without buffers, crop all ones, formats 0, image number 0, no metadata or time stamp.
    Image();

    /// Crop width x1 - x0 + 1.
    uint64_t width() const;
    /// Crop height y1 - y0 + 1.
    uint64_t height() const;

    /// Target format of the image.
    DataFormat dataFormat() const;
    /// Sets the target format without touching the buffers.
    void setDataFormat(DataFormat format);
    /// Format of the raw data.
    RawFormat rawFormat() const;
    /// Sets the raw format without touching the buffers.
    void setRawFormat(RawFormat format);
    /// The recorder's number of this image.
    uint32_t recorderImageNumber() const;
    /// Sets the recorder's number of this image.
    void setRecorderImageNumber(uint32_t number);
    /// The crop that was copied (1-based, inclusive); all-ones values show as -1.
    Roi crop() const;

    /// True for the colour formats BGR8 up to BGR16.
    bool isColorFormat() const;

    /// Whether the current buffers can be reused unchanged for an image of this shape.
    bool fits(DataFormat format, RawFormat raw_format, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1) const;
    /// Sizes the buffers for this shape (reusing vectors of the right element width), then stores formats and crop.
    void reshape(DataFormat format, RawFormat raw_format, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1);
    /// Back to the state of a new image, keeping the pixel vectors (their sizes too) for the next reshape.
    void recycle();
    /// Bytes of pixel data that `reshape` makes an image of this format and size hold.
    static uint64_t pixelBytes(DataFormat format, RawFormat raw_format, uint64_t width, uint64_t height);

    /// Engages the metadata block with a copy of the record.
    void setMetaData(const QOR_Metadata& metadata);
    /// Drops the metadata block.
    void clearMetaData();
    /// True when the image holds a metadata block.
    bool hasMetaData() const;
    /// The metadata block, or null when absent.
    QOR_Metadata* metaDataPtr();
    const QOR_Metadata* metaDataPtr() const;
    /// A copy of the metadata block; throws CameraException "qor::Image does not hold meta data".
    QOR_Metadata metaData() const;

    /// Engages the time-stamp block with a copy of the record.
    void setTimestamp(const QOR_Timestamp& timestamp);
    /// Drops the time-stamp block.
    void clearTimestamp();
    /// True when the image holds a time-stamp block.
    bool hasTimestamp() const;
    /// The time-stamp block, or null when absent.
    QOR_Timestamp* timestampPtr();
    const QOR_Timestamp* timestampPtr() const;
    /// A copy of the time-stamp block; throws CameraException "qor::Image does not hold time stamp data".
    QOR_Timestamp timestamp() const;

    /// 8-bit pixels: the raw data of a Mono8 image, else the converted data; throws when neither is 8-bit.
    const PixelBytes& data8() const;
    /// 16-bit pixels: the raw data of a Mono16 image, else the converted data; throws when neither is 16-bit.
    const PixelWords& data16() const;
    /// The raw data when it is 16-bit; throws otherwise.
    const PixelWords& rawData16() const;
    /// The compressed pixels of a CompressedMono8 image, else the 8-bit raw data; throws otherwise.
    const PixelBytes& rawData8() const;
    /// The raw data as held.
    const PixelData& rawData() const;
    /// The converted (or compressed) data as held.
    const PixelData& convertedData() const;

    /// Where the recorder's copy writes: the raw buffer, or the 8-bit converted buffer for CompressedMono8;
    /// throws CameraException when that buffer is not allocated.
    void* rawBuffer();
    /// The buffer that holds the finished image: the raw buffer for Mono8 with 8-bit raw data and Mono16 with
    /// 16-bit raw data, else the converted buffer; null when that buffer is not allocated.
    void* outputBuffer();
    /// Size in bytes of outputBuffer().
    size_t outputBufferBytes() const;
    /// The converted buffer for the conversion step; throws CameraException when it is not 8-bit.
    PixelBytes& converted8();
    /// The converted buffer for the conversion step; throws CameraException when it is not 16-bit.
    PixelWords& converted16();

private:
    bool outputIsRaw() const;

    PixelData raw_;
    PixelData converted_;
    uint64_t x0_ = ~uint64_t{0};
    uint64_t y0_ = ~uint64_t{0};
    uint64_t x1_ = ~uint64_t{0};
    uint64_t y1_ = ~uint64_t{0};
    DataFormat data_format_ = DataFormat::Undefined;
    RawFormat raw_format_ = RawFormat::Word;
    uint32_t recorder_image_number_ = 0;
    std::optional<QOR_Metadata> metadata_;
    std::optional<QOR_Timestamp> timestamp_;
};

}  // namespace qor
