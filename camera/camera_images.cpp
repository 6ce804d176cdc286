// Copying images out of the recorder, converting them, and the conversion settings per format.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <thread>

#include "camera/camera.h"
#include "camera/camera_recorder.h"

namespace qor {
namespace {

constexpr uint32_t kRingBufferRunningMode = 0x00020002;

CameraException noRecorder(bool has_ram, const char* call) {
    if (has_ram) return CameraException("Camera has no memory allocated for the active segment", errc::kNoMemory);
    return CameraException(std::string("Camera has not recorded yet. Call \"record(...)\" before \"") + call + "(...)\"",
                           errc::kNoRecorder);
}

CameraException byteFormatError() {
    return CameraException("RawFormat::Byte can not be represented in specified DataFormat!", errc::kInvalidArgument);
}

bool isColorConversion(DataFormat f) {
    return f == DataFormat::BGR8 || f == DataFormat::BGRA8 || f == DataFormat::RGB8 || f == DataFormat::RGBA8;
}

const ConvertControlCommon& common(const ConvertControl& c) {
    return std::visit([](const auto& alt) -> const ConvertControlCommon& { return alt; }, c);
}

// The extension's fourth character (counting the dot) selects the table kind.
int lutKind(const std::filesystem::path& file) {
    const std::string ext = file.extension().string();
    if (ext.size() < 4) return 1;
    switch (ext[3]) {
        case '1': return 3;
        case '2': return 2;
        case '3': return 1;
        case '4': return 0;
        default: return 1;
    }
}

}  // namespace

DataFormat Camera::resolveFormat(DataFormat format) const {
    if (format == DataFormat::Undefined)
        return layout().raw_format == RawFormat::Byte ? DataFormat::Mono8 : DataFormat::Mono16;
    return format;
}

Roi Camera::fullCrop() const {
    const RecordingLayout l = layout();
    return Roi{1, 1, static_cast<int64_t>(l.roi[2] - l.roi[0] + 1),
               static_cast<int64_t>(l.double_image_factor * (l.roi[3] - l.roi[1] + 1))};
}

void Camera::checkCrop(const Roi& crop) const {
    // A crop is 1-based and inclusive inside the recorded image; anything else would wrap to huge sizes.
    const Roi full = fullCrop();
    if (crop.x0 < 1 || crop.y0 < 1 || crop.x0 > crop.x1 || crop.y0 > crop.y1 || crop.x1 > full.x1 || crop.y1 > full.y1)
        throw CameraException("Invalid crop: it must lie inside the recorded image of " + std::to_string(full.x1) +
                                  " x " + std::to_string(full.y1) + " pixels (1-based, inclusive)",
                              errc::kInvalidArgument);
}

QOR_CONVERTER Camera::converter(DataFormat format) const {
    auto it = converters_.find(format);
    if (it == converters_.end()) throw CameraException("Data format is not supported by the camera!", errc::kInvalidArgument);
    return it->second;
}

uint32_t Camera::conversionFlags(DataFormat format, const ConvertControl& control) const {
    const ConvertControlCommon& c = common(control);
    uint32_t flags = QOR_CONVERT_DEFAULT;
    if (c.sharpen) flags |= QOR_CONVERT_SHARPEN;
    if (c.adaptive_sharpen) flags |= QOR_CONVERT_ADAPTIVE_SHARPEN;
    if (c.flip_vertical) flags |= QOR_CONVERT_FLIP;
    if (const auto* color = std::get_if<ConvertControlColor>(&control); color && color->qor_debayer_algorithm)
        flags |= QOR_CONVERT_ALT_DEBAYER;
    flags |= static_cast<uint32_t>(c.add_conv_flags);
    if (c.auto_minmax) flags |= QOR_CONVERT_AUTO_MINMAX;
    if (format == DataFormat::BGRA8) flags |= QOR_CONVERT_BGRA;
    if (format == DataFormat::RGB8 || format == DataFormat::RGB16) flags |= QOR_CONVERT_RGB;
    if (format == DataFormat::RGBA8) flags |= QOR_CONVERT_RGBA;
    return flags;
}

uint32_t Camera::calculateColorMode(const Roi& crop) {
    static constexpr std::array<uint32_t, 16> kTable = {3, 2, 1, 0, 2, 3, 0, 1, 1, 0, 3, 2, 0, 1, 2, 3};
    const uint16_t pattern = description().wColorPatternDESC;
    if (pattern == 0) return 0;
    uint32_t k = static_cast<uint32_t>(pattern & 0xF) - 1;
    if (k > 3) k = 0;
    const std::array<uint64_t, 4> roi = layout().roi;
    const uint64_t x = static_cast<uint64_t>(crop.x0) + roi[0] - 1;
    const uint64_t y = static_cast<uint64_t>(crop.y0) + roi[1] - 1;
    return kTable[(x & 1) + 2 * (y & 1) + 4 * k];
}

void Camera::image(Image& image, uint32_t image_index, DataFormat data_format, const CompressionParams* comp_params) {
    if (!recorder()) throw noRecorder(hasRam(), "image");
    copyImage(image, fullCrop(), image_index, data_format, comp_params);
}

void Camera::image(Image& image, const Roi& crop, uint32_t image_index, DataFormat data_format,
                   const CompressionParams* comp_params) {
    if (!recorder()) throw noRecorder(hasRam(), "image");
    checkCrop(crop);
    copyImage(image, crop, image_index, data_format, comp_params);
}

void Camera::copyImage(Image& image, const Roi& crop, uint32_t image_index, DataFormat data_format,
                       const CompressionParams* comp_params) {
    RecorderPtr rec = recorder();
    if (!rec) throw noRecorder(hasRam(), "image");
    const RecordingLayout l = layout();
    const RawFormat raw_format = l.raw_format;
    const DataFormat format = resolveFormat(data_format);
    if (data_format != DataFormat::Undefined) {
        if (raw_format == RawFormat::Byte && format != DataFormat::Mono8 && format != DataFormat::CompressedMono8)
            throw byteFormatError();
        if (!isColored() && format == DataFormat::BGR16)
            throw CameraException("DataFormat::BGR16 is not supported for mono cameras!", errc::kInvalidArgument);
    }
    if (format == DataFormat::CompressedMono8) {
        if (comp_params == nullptr)
            throw CameraException("Compression parameters are required for DataFormat::CompressedMono8!",
                                  errc::kInvalidArgument);
        sdk::check(QOR_RecorderSetCompressionParams(rec->get(), handle_, comp_params));
    }
    const auto x0 = static_cast<uint64_t>(crop.x0), y0 = static_cast<uint64_t>(crop.y0);
    const auto x1 = static_cast<uint64_t>(crop.x1), y1 = static_cast<uint64_t>(crop.y1);
    // A fitting image keeps its buffers but still takes the crop's position.
    if (!image.fits(format, raw_format, x0, y0, x1, y1) || image.crop() != crop)
        image.reshape(format, raw_format, x0, y0, x1, y1);

    // A reused image must not keep the blocks of an earlier image recorded with other settings.
    if (!l.metadata_on) image.clearMetaData();
    if (!l.timestamp_on) image.clearTimestamp();
    QOR_Metadata* metadata = nullptr;
    if (l.metadata_on) {
        if (!image.hasMetaData()) {
            QOR_Metadata block{};
            block.wSize = sizeof block;
            image.setMetaData(block);
        }
        metadata = image.metaDataPtr();
    }
    QOR_Timestamp* timestamp = nullptr;
    if (l.timestamp_on) {
        if (!image.hasTimestamp()) {
            QOR_Timestamp block{};
            block.wSize = sizeof block;
            image.setTimestamp(block);
        }
        timestamp = image.timestampPtr();
    }

    uint32_t number = 0;
    const auto cx0 = static_cast<uint16_t>(x0), cy0 = static_cast<uint16_t>(y0);
    const auto cx1 = static_cast<uint16_t>(x1), cy1 = static_cast<uint16_t>(y1);
    if (format == DataFormat::CompressedMono8) {
        sdk::check(QOR_RecorderCopyImageCompressed(rec->get(), handle_, image_index, cx0, cy0, cx1, cy1,
                                                   static_cast<uint8_t*>(image.rawBuffer()), &number, metadata,
                                                   timestamp));
    } else {
        sdk::check(QOR_RecorderCopyImage(rec->get(), handle_, image_index, cx0, cy0, cx1, cy1, image.rawBuffer(),
                                         &number, metadata, timestamp));
    }
    last_image_number_ = number;
    image.setRecorderImageNumber(number);

    if (format == DataFormat::CompressedMono8 || raw_format == RawFormat::Byte || format == DataFormat::Mono16) return;
    convertImage(image, format, crop);
}

void Camera::convertImage(Image& image, DataFormat format, const Roi& crop) {
    QOR_CONVERTER conv = converter(format);
    ConvertControl control;
    {
        std::lock_guard lock(state_mutex_);
        auto it = convert_controls_.find(format);
        if (it == convert_controls_.end())
            throw CameraException("ConvertControl not available for this DataFormat!", errc::kInvalidArgument);
        control = it->second;
    }
    const uint32_t flags = conversionFlags(format, control);
    if (common(control).auto_minmax) {
        std::lock_guard display(display_mutex_);
        auto pending = auto_range_pending_.find(format);
        if (pending != auto_range_pending_.end() && pending->second) {
            autoRange(format, image);
            pending->second = false;
        }
        if (clampColorLimits(format)) applyConvertControl(format);
    }

    const int width = static_cast<int>(image.width());
    const int height = static_cast<int>(image.height());
    const int color_mode = static_cast<int>(calculateColorMode(crop));
    const uint16_t* raw = image.rawData16().data();
    const int f = static_cast<int>(flags);
    switch (format) {
        case DataFormat::Mono8:
            sdk::check(QOR_Convert16TO8(conv, f, color_mode, width, height, raw, image.converted8().data()));
            break;
        case DataFormat::BGR8:
        case DataFormat::BGRA8:
        case DataFormat::RGB8:
        case DataFormat::RGBA8:
            if (isColored())
                sdk::check(QOR_Convert16TOCOL(conv, f, color_mode, width, height, raw, image.converted8().data()));
            else
                sdk::check(QOR_Convert16TOPSEUDO(conv, f, color_mode, width, height, raw, image.converted8().data()));
            break;
        case DataFormat::RGB16:
        case DataFormat::BGR16:
            sdk::check(QOR_Convert16TOCOL16(conv, f, color_mode, width, height, raw, image.converted16().data()));
            break;
        default:
            throw CameraException("Data format is not supported by the camera!", errc::kInvalidArgument);
    }
}

void Camera::autoRange(DataFormat format, const Image& image) {
    QOR_CONVERTER conv = converter(format);
    QOR_Display display{};
    display.wSize = sizeof display;
    sdk::check(QOR_ConvertGetDisplay(conv, &display));
    const auto& raw = image.rawData16();
    if (raw.empty()) return;
    auto [lo, hi] = std::minmax_element(raw.begin(), raw.end());
    int32_t min = *lo;
    int32_t max = *hi;
    if (min == max && max != 0) min = max - 1;
    display.iScale_min = min;
    display.iScale_max = max;
    sdk::check(QOR_ConvertSetDisplay(conv, &display));
}

bool Camera::clampColorLimits(DataFormat format) {
    if (!isColored() || !isColorConversion(format)) return false;
    ConvertControlColor* color = nullptr;
    int32_t temperature = 0, tint = 0;
    {
        std::lock_guard lock(state_mutex_);
        auto it = convert_controls_.find(format);
        if (it == convert_controls_.end()) return false;
        color = std::get_if<ConvertControlColor>(&it->second);
        if (color == nullptr) return false;
        temperature = color->color_temperature;
        tint = color->color_tint;
    }
    const uint32_t bits = description().wDynResDESC;
    float r = 1, g = 1, b = 1;
    sdk::check(QOR_GetWhiteBalanceGains(temperature, tint, static_cast<int>(bits), &r, &g, &b));
    const float top_f = static_cast<float>((std::pow(2.0, bits) - 1)) / std::max({r, g, b});
    const auto top = static_cast<int32_t>(top_f);

    std::lock_guard lock(state_mutex_);
    color = std::get_if<ConvertControlColor>(&convert_controls_.at(format));
    const int32_t before = color->max_limit;
    const auto h = static_cast<int32_t>(static_cast<float>(before) * std::min({r, g, b}));
    const int32_t low = before + color->min_limit - h;
    if (top < color->max_limit) color->max_limit = top;
    if (color->max_limit < low) color->max_limit = low;
    return color->max_limit != before;
}

void Camera::applyConvertControl(DataFormat format) {
    QOR_CONVERTER conv = converter(format);
    ConvertControl control;
    {
        std::lock_guard lock(state_mutex_);
        control = convert_controls_.at(format);
    }
    QOR_Display display{};
    display.wSize = sizeof display;
    sdk::check(QOR_ConvertGetDisplay(conv, &display));
    const ConvertControlCommon& c = common(control);
    display.iGamma = static_cast<int32_t>(c.gamma * 100);
    display.iContrast = c.contrast;
    if (!c.auto_minmax) {
        display.iScale_min = c.min_limit;
        display.iScale_max = c.max_limit;
    }
    std::visit(
        [&](const auto& alt) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(alt)>, ConvertControlMono>) {
                display.iColor_temp = alt.color_temperature;
                display.iColor_tint = alt.color_tint;
                display.iColor_saturation = alt.color_saturation;
                display.iColor_vibrance = alt.color_vibrance;
            }
        },
        control);
    sdk::check(QOR_ConvertSetDisplay(conv, &display));
}

ConvertControl Camera::getConvertControl(DataFormat data_format) {
    QOR_CONVERTER conv = converter(data_format);
    {
        std::lock_guard lock(state_mutex_);
        if (convert_controls_.find(data_format) == convert_controls_.end())
            throw CameraException("DataFormat is not valid for this camera type!", errc::kUnspecified);
    }
    // The display record and the stored settings are brought in step as one: a change meanwhile
    // would otherwise be overwritten with the values it replaced.
    std::lock_guard display_lock(display_mutex_);
    QOR_Display display{};
    display.wSize = sizeof display;
    sdk::check(QOR_ConvertGetDisplay(conv, &display));
    std::lock_guard lock(state_mutex_);
    ConvertControl& stored = convert_controls_.at(data_format);
    std::visit(
        [&](auto& alt) {
            alt.gamma = display.iGamma / 100.0;
            alt.contrast = display.iContrast;
            alt.min_limit = display.iScale_min;
            alt.max_limit = display.iScale_max;
            if constexpr (!std::is_same_v<std::decay_t<decltype(alt)>, ConvertControlMono>) {
                alt.color_temperature = display.iColor_temp;
                alt.color_tint = display.iColor_tint;
                alt.color_saturation = display.iColor_saturation;
                alt.color_vibrance = display.iColor_vibrance;
            }
        },
        stored);
    return stored;
}

void Camera::setConvertControl(DataFormat data_format, const ConvertControl& variant_settings) {
    {
        std::lock_guard lock(state_mutex_);
        auto it = convert_controls_.find(data_format);
        if (it == convert_controls_.end())
            throw CameraException("DataFormat is not valid for this camera type!", errc::kInvalidArgument);
        if (it->second.index() != variant_settings.index())
            throw CameraException("ConvertControl struct does not fit to the DataFormat!", errc::kInvalidArgument);
    }
    if (const auto* pseudo = std::get_if<ConvertControlPseudoColor>(&variant_settings);
        pseudo && !pseudo->lut_file.empty()) {
        std::error_code ec;
        if (!std::filesystem::exists(pseudo->lut_file, ec))
            throw CameraException("LUT file does not exist!", errc::kFileMissing);
        const std::string file = pseudo->lut_file.string();
        sdk::check(QOR_LoadPseudoLut(converter(data_format), lutKind(pseudo->lut_file), file.c_str()));
    }
    std::lock_guard display(display_mutex_);
    {
        std::lock_guard lock(state_mutex_);
        convert_controls_[data_format] = variant_settings;
    }
    clampColorLimits(data_format);
    applyConvertControl(data_format);
}

void Camera::loadLut(DataFormat data_format, const std::filesystem::path& lut_file) {
    if (isColored())
        throw CameraException("Pseudo color not supported for color cameras!", errc::kCamRamUnsupported);
    ConvertControl settings;
    {
        std::lock_guard lock(state_mutex_);
        auto it = convert_controls_.find(data_format);
        if (it == convert_controls_.end())
            throw CameraException("DataFormat is not valid for this camera type!", errc::kInvalidArgument);
        if (!std::holds_alternative<ConvertControlPseudoColor>(it->second))
            throw CameraException("ConvertControlPseudoColor is not assigned to specified DataFormat!",
                                  errc::kInvalidArgument);
        settings = it->second;
    }
    std::get<ConvertControlPseudoColor>(settings).lut_file = lut_file;
    setConvertControl(data_format, settings);
}

void Camera::adaptWhiteBalance(Image& image) {
    adaptWhiteBalanceIn(image, Roi{1, 1, static_cast<int64_t>(image.width()), static_cast<int64_t>(image.height())});
}

void Camera::adaptWhiteBalance(Image& image, const Roi& crop) { adaptWhiteBalanceIn(image, crop); }

void Camera::adaptWhiteBalanceIn(Image& image, const Roi& crop) {
    const DataFormat format = image.dataFormat();
    QOR_CONVERTER conv = converter(format);
    {
        std::lock_guard lock(state_mutex_);
        if (convert_controls_.find(format) == convert_controls_.end())
            throw CameraException("ConvertControl not available for this DataFormat!", errc::kInvalidArgument);
    }
    if (!image.isColorFormat())
        throw CameraException("White balance adaptation is supported for colored data formats!",
                              errc::kCamRamUnsupported);
    const auto width = static_cast<int64_t>(image.width());
    const auto height = static_cast<int64_t>(image.height());
    if (crop.x1 - crop.x0 + 1 > width || crop.y1 - crop.y0 + 1 > height || crop.x0 < 1 || crop.y0 < 1 ||
        crop.x1 > width || crop.y1 > height || crop.x0 > crop.x1 || crop.y0 > crop.y1)
        throw CameraException("Roi is too large", errc::kInvalidArgument);
    int temperature = 0, tint = 0;
    const Roi image_crop = image.crop();
    const int color_mode = static_cast<int>(calculateColorMode(image_crop));
    sdk::check(QOR_GetWhiteBalance(conv, &temperature, &tint, color_mode, static_cast<int>(width),
                                   static_cast<int>(height), image.rawData16().data(), static_cast<int>(crop.x0),
                                   static_cast<int>(crop.y0), static_cast<int>(crop.x1), static_cast<int>(crop.y1)));
    std::lock_guard display(display_mutex_);
    {
        std::lock_guard lock(state_mutex_);
        std::visit(
            [&](auto& alt) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(alt)>, ConvertControlMono>) {
                    alt.color_temperature = temperature;
                    alt.color_tint = tint;
                }
            },
            convert_controls_.at(format));
    }
    clampColorLimits(format);
    applyConvertControl(format);
}

void Camera::images(std::vector<Image>& images, DataFormat data_format, uint32_t start_index,
                    const CompressionParams* comp_params) {
    imagesInto(images, Roi{}, false, data_format, start_index, comp_params);
}

void Camera::images(std::vector<Image>& images, const Roi& crop, DataFormat data_format, uint32_t start_index,
                    const CompressionParams* comp_params) {
    imagesInto(images, crop, true, data_format, start_index, comp_params);
}

void Camera::imagesInto(std::vector<Image>& images, const Roi& requested_crop, bool cropped, DataFormat data_format,
                        uint32_t start_index, const CompressionParams* comp_params) {
    RecorderPtr rec = recorder();
    if (!rec) throw noRecorder(hasRam(), "images");
    const RawFormat raw_format = layout().raw_format;
    const DataFormat format = resolveFormat(data_format);
    if (raw_format == RawFormat::Byte && format != DataFormat::Mono8) throw byteFormatError();
    if (raw_format != RawFormat::Byte && !isColored() && format == DataFormat::BGR16)
        throw CameraException("DataFormat::BGR16 is not supported for mono cameras!", errc::kInvalidArgument);
    if (cropped) checkCrop(requested_crop);
    const Roi crop = cropped ? requested_crop : fullCrop();

    const uint32_t mode = recorderMode(rec);
    RecorderStatus status = recorderStatus(rec);
    if (status.running && mode == kRingBufferRunningMode)
        throw CameraException("Camera::images() is not supported in RecordMode::ring_buffer during record",
                              errc::kNoCamera);

    const CameraException too_big("Image vector is too big to hold latest recorded images starting from start_index!",
                                  errc::kInvalidArgument);
    // A start at the requested count gives the empty series; beyond it the difference must not wrap.
    if (start_index > status.requested) throw too_big;
    const uint32_t available = status.requested - start_index;
    const size_t count = images.empty() ? available : images.size();
    if (available < count) throw too_big;
    const uint64_t needed = uint64_t{start_index} + count;
    const CameraException stopped("Image vector is too big to hold currently recorded images and record has stopped!",
                                  errc::kNoMemory);
    // A stopped recorder that is short of images fails before any image buffer is allocated.
    if (!status.running && status.processed < needed) throw stopped;

    const auto x0 = static_cast<uint64_t>(crop.x0), y0 = static_cast<uint64_t>(crop.y0);
    const auto x1 = static_cast<uint64_t>(crop.x1), y1 = static_cast<uint64_t>(crop.y1);
    checkSeriesBudget(count, Image::pixelBytes(format, raw_format, x1 - x0 + 1, y1 - y0 + 1));
    if (images.empty()) {
        images.resize(available);
        for (Image& img : images) img.reshape(format, raw_format, x0, y0, x1, y1);
    } else {
        for (Image& img : images)
            if (!img.fits(format, raw_format, x0, y0, x1, y1)) img.reshape(format, raw_format, x0, y0, x1, y1);
    }

    while (status.processed < needed) {
        throwIfAborted();
        if (!status.running) throw stopped;
        std::this_thread::yield();
        status = recorderStatus(rec);
    }
    for (size_t i = 0; i < images.size(); ++i)
        copyImage(images[i], crop, start_index + static_cast<uint32_t>(i), format, comp_params);
}

void Camera::checkSeriesBudget(uint64_t count, uint64_t image_bytes) const {
    const uint64_t budget = image_series_budget_;
    if (image_bytes == 0 || count <= budget / image_bytes) return;
    const std::string needed =
        count > UINT64_MAX / image_bytes ? "more than 2^64" : std::to_string(count * image_bytes);
    throw CameraException("Image series of " + std::to_string(count) + " images needs " + needed +
                              " bytes, more than the budget of " + std::to_string(budget) + " bytes",
                          errc::kNoMemory);
}

void Camera::imageAverage(Image& image, DataFormat data_format) { averageInto(image, fullCrop(), data_format); }

void Camera::imageAverage(Image& image, const Roi& crop, DataFormat data_format) {
    if (!recorder()) throw noRecorder(hasRam(), "imageAverage");
    checkCrop(crop);
    averageInto(image, crop, data_format);
}

void Camera::averageInto(Image& image, const Roi& crop, DataFormat data_format) {
    RecorderPtr rec = recorder();
    if (!rec) throw noRecorder(hasRam(), "imageAverage");
    if (data_format == DataFormat::CompressedMono8)
        throw CameraException("DataFormat::CompressedMono8 is not supported for average images!",
                              errc::kInvalidArgument);
    if (!isColored() && data_format == DataFormat::BGR16)
        throw CameraException("DataFormat::BGR16 is not supported for mono cameras!", errc::kInvalidArgument);
    const RawFormat raw_format = layout().raw_format;
    const DataFormat format = resolveFormat(data_format);
    if (raw_format == RawFormat::Byte && format != DataFormat::Mono8) throw byteFormatError();

    const auto x0 = static_cast<uint64_t>(crop.x0), y0 = static_cast<uint64_t>(crop.y0);
    const auto x1 = static_cast<uint64_t>(crop.x1), y1 = static_cast<uint64_t>(crop.y1);
    if (!image.fits(format, raw_format, x0, y0, x1, y1) || image.crop() != crop)
        image.reshape(format, raw_format, x0, y0, x1, y1);
    image.clearMetaData();
    image.clearTimestamp();

    const RecorderStatus status = recorderStatus(rec);
    const uint32_t count = std::min(status.requested, status.processed);
    if (count == 0) throw CameraException("No image has been recorded yet to average", errc::kNoImage);
    sdk::check(QOR_RecorderCopyAverageImage(rec->get(), handle_, 0, count - 1, static_cast<uint16_t>(x0),
                                            static_cast<uint16_t>(y0), static_cast<uint16_t>(x1),
                                            static_cast<uint16_t>(y1), image.rawBuffer()));
    image.setRecorderImageNumber(count - 1);
    if (format == DataFormat::Mono16 || raw_format == RawFormat::Byte) return;
    convertImage(image, format, crop);
}

}  // namespace qor
