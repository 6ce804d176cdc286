#include "camera/image.h"

#include "camera/camera_exception.h"

namespace qor {

namespace {

enum class ElementWidth { None, Bits8, Bits16 };

struct BufferLayout {
    ElementWidth width;
    uint64_t count;
};

[[noreturn]] void fail(const char* message) { throw CameraException(message, errc::kUnspecified); }

uint64_t paddedWidth(uint64_t width) { return (width + 3) / 4 * 4; }

// What the converted data of a format holds; None where the raw data already is the image.
BufferLayout convertedLayout(DataFormat format, RawFormat raw_format, uint64_t width, uint64_t height) {
    switch (format) {
        case DataFormat::Mono8:
            if (raw_format == RawFormat::Byte) return {ElementWidth::None, 0};
            return {ElementWidth::Bits8, paddedWidth(width) * height};
        case DataFormat::BGR8:
        case DataFormat::RGB8: return {ElementWidth::Bits8, 3 * paddedWidth(width) * height};
        case DataFormat::BGRA8:
        case DataFormat::RGBA8: return {ElementWidth::Bits8, 4 * width * height};
        case DataFormat::RGB16:
        case DataFormat::BGR16: return {ElementWidth::Bits16, 3 * paddedWidth(width) * height};
        case DataFormat::CompressedMono8: return {ElementWidth::Bits8, width * height};
        case DataFormat::Undefined:
        case DataFormat::Mono16: break;
    }
    return {ElementWidth::None, 0};
}

template <class T>
bool holds(const Image::PixelData& data, uint64_t count) {
    const auto* v = std::get_if<std::vector<T, PixelAllocator<T>>>(&data);
    return v != nullptr && v->size() == count;
}

bool holds(const Image::PixelData& data, BufferLayout layout) {
    switch (layout.width) {
        case ElementWidth::Bits8: return holds<uint8_t>(data, layout.count);
        case ElementWidth::Bits16: return holds<uint16_t>(data, layout.count);
        case ElementWidth::None: break;
    }
    return false;
}

// Resizes a vector of the right element width in place, so that reused images keep their allocation.
template <class T>
void resizeTo(Image::PixelData& data, uint64_t count) {
    if (auto* v = std::get_if<std::vector<T, PixelAllocator<T>>>(&data)) {
        v->resize(count);
    } else {
        data = std::vector<T, PixelAllocator<T>>(count);
    }
}

void shape(Image::PixelData& data, BufferLayout layout) {
    switch (layout.width) {
        case ElementWidth::Bits8: resizeTo<uint8_t>(data, layout.count); return;
        case ElementWidth::Bits16: resizeTo<uint16_t>(data, layout.count); return;
        case ElementWidth::None: data = std::monostate{}; return;
    }
}

BufferLayout rawLayout(RawFormat raw_format, uint64_t width, uint64_t height) {
    return {raw_format == RawFormat::Byte ? ElementWidth::Bits8 : ElementWidth::Bits16, width * height};
}

void* dataOf(Image::PixelData& data) {
    if (auto* v8 = std::get_if<PixelBytes>(&data)) return v8->data();
    if (auto* v16 = std::get_if<PixelWords>(&data)) return v16->data();
    return nullptr;
}

size_t bytesOf(const Image::PixelData& data) {
    if (const auto* v8 = std::get_if<PixelBytes>(&data)) return v8->size();
    if (const auto* v16 = std::get_if<PixelWords>(&data)) return v16->size() * sizeof(uint16_t);
    return 0;
}

}  // namespace

Image::Image() = default;

uint64_t Image::width() const { return x1_ - x0_ + 1; }
uint64_t Image::height() const { return y1_ - y0_ + 1; }

DataFormat Image::dataFormat() const { return data_format_; }
void Image::setDataFormat(DataFormat format) { data_format_ = format; }
RawFormat Image::rawFormat() const { return raw_format_; }
void Image::setRawFormat(RawFormat format) { raw_format_ = format; }
uint32_t Image::recorderImageNumber() const { return recorder_image_number_; }
void Image::setRecorderImageNumber(uint32_t number) { recorder_image_number_ = number; }

Roi Image::crop() const {
    return Roi{static_cast<int64_t>(x0_), static_cast<int64_t>(y0_), static_cast<int64_t>(x1_),
               static_cast<int64_t>(y1_)};
}

bool Image::isColorFormat() const {
    const auto value = static_cast<int32_t>(data_format_);
    return value >= static_cast<int32_t>(DataFormat::BGR8) && value <= static_cast<int32_t>(DataFormat::BGR16);
}

bool Image::fits(DataFormat format, RawFormat raw_format, uint64_t x0, uint64_t y0, uint64_t x1,
                 uint64_t y1) const {
    if (format != data_format_) return false;
    const uint64_t w = x1 - x0 + 1;
    const uint64_t h = y1 - y0 + 1;
    if (format == DataFormat::CompressedMono8) return holds<uint8_t>(converted_, w * h);
    if (!holds(raw_, rawLayout(raw_format, w, h))) return false;
    switch (format) {
        case DataFormat::Undefined: return false;
        case DataFormat::Mono16: return true;
        // Asks for converted data even with byte raw data, whose converted data is empty: such an image
        // is reshaped every time.
        case DataFormat::Mono8: return holds<uint8_t>(converted_, paddedWidth(w) * h);
        default: return holds(converted_, convertedLayout(format, raw_format, w, h));
    }
}

void Image::reshape(DataFormat format, RawFormat raw_format, uint64_t x0, uint64_t y0, uint64_t x1,
                    uint64_t y1) {
    const uint64_t w = x1 - x0 + 1;
    const uint64_t h = y1 - y0 + 1;
    shape(converted_, convertedLayout(format, raw_format, w, h));
    if (format == DataFormat::CompressedMono8) {
        raw_ = std::monostate{};
    } else {
        shape(raw_, rawLayout(raw_format, w, h));
    }
    data_format_ = format;
    raw_format_ = raw_format;
    x0_ = x0;
    y0_ = y0;
    x1_ = x1;
    y1_ = y1;
}

uint64_t Image::pixelBytes(DataFormat format, RawFormat raw_format, uint64_t width, uint64_t height) {
    auto bytes = [](BufferLayout layout) {
        switch (layout.width) {
            case ElementWidth::Bits8: return layout.count;
            case ElementWidth::Bits16: return layout.count * sizeof(uint16_t);
            case ElementWidth::None: break;
        }
        return uint64_t{0};
    };
    const uint64_t raw = format == DataFormat::CompressedMono8 ? 0 : bytes(rawLayout(raw_format, width, height));
    return raw + bytes(convertedLayout(format, raw_format, width, height));
}

void Image::recycle() {
    // The vectors keep their sizes as well: emptying them would make the next reshape of the same
    // shape fill megabytes with zeros that the next copy overwrites anyway. The format goes back to
    // Undefined, so the image never fits before it is reshaped.
    PixelData raw = std::move(raw_);
    PixelData converted = std::move(converted_);
    *this = Image();
    raw_ = std::move(raw);
    converted_ = std::move(converted);
}

void Image::setMetaData(const QOR_Metadata& metadata) { metadata_ = metadata; }
void Image::clearMetaData() { metadata_.reset(); }
bool Image::hasMetaData() const { return metadata_.has_value(); }
QOR_Metadata* Image::metaDataPtr() { return metadata_ ? &*metadata_ : nullptr; }
const QOR_Metadata* Image::metaDataPtr() const { return metadata_ ? &*metadata_ : nullptr; }

QOR_Metadata Image::metaData() const {
    if (!metadata_) fail("qor::Image does not hold meta data");
    return *metadata_;
}

void Image::setTimestamp(const QOR_Timestamp& timestamp) { timestamp_ = timestamp; }
void Image::clearTimestamp() { timestamp_.reset(); }
bool Image::hasTimestamp() const { return timestamp_.has_value(); }
QOR_Timestamp* Image::timestampPtr() { return timestamp_ ? &*timestamp_ : nullptr; }
const QOR_Timestamp* Image::timestampPtr() const { return timestamp_ ? &*timestamp_ : nullptr; }

QOR_Timestamp Image::timestamp() const {
    if (!timestamp_) fail("qor::Image does not hold time stamp data");
    return *timestamp_;
}

const PixelBytes& Image::data8() const {
    if (const auto* raw = std::get_if<PixelBytes>(&raw_); raw && data_format_ == DataFormat::Mono8) {
        return *raw;
    }
    if (const auto* converted = std::get_if<PixelBytes>(&converted_)) return *converted;
    fail("Image data does not contain 8bit data");
}

const PixelWords& Image::data16() const {
    if (const auto* raw = std::get_if<PixelWords>(&raw_); raw && data_format_ == DataFormat::Mono16) {
        return *raw;
    }
    if (const auto* converted = std::get_if<PixelWords>(&converted_)) return *converted;
    fail("Image data does not contain 16bit data");
}

const PixelWords& Image::rawData16() const {
    if (const auto* raw = std::get_if<PixelWords>(&raw_)) return *raw;
    fail("Image raw data does not contain 16bit data");
}

const PixelBytes& Image::rawData8() const {
    if (const auto* compressed = std::get_if<PixelBytes>(&converted_);
        compressed && data_format_ == DataFormat::CompressedMono8) {
        return *compressed;
    }
    if (const auto* raw = std::get_if<PixelBytes>(&raw_)) return *raw;
    fail("Image raw data does not contain 8bit data");
}

const Image::PixelData& Image::rawData() const { return raw_; }
const Image::PixelData& Image::convertedData() const { return converted_; }

void* Image::rawBuffer() {
    if (data_format_ == DataFormat::CompressedMono8) return converted8().data();
    void* buffer = dataOf(raw_);
    if (buffer == nullptr) fail("Image holds no raw data buffer");
    return buffer;
}

bool Image::outputIsRaw() const {
    return (data_format_ == DataFormat::Mono8 && std::holds_alternative<PixelBytes>(raw_)) ||
           (data_format_ == DataFormat::Mono16 && std::holds_alternative<PixelWords>(raw_));
}

void* Image::outputBuffer() { return dataOf(outputIsRaw() ? raw_ : converted_); }

size_t Image::outputBufferBytes() const { return bytesOf(outputIsRaw() ? raw_ : converted_); }

PixelBytes& Image::converted8() {
    if (auto* converted = std::get_if<PixelBytes>(&converted_)) return *converted;
    fail("Image data does not contain 8bit data");
}

PixelWords& Image::converted16() {
    if (auto* converted = std::get_if<PixelWords>(&converted_)) return *converted;
    fail("Image data does not contain 16bit data");
}

}  // namespace qor
