#include "server/image_encoding.h"

#include <spng.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <variant>
#include <vector>

namespace image_encoding {
namespace {

using qor::DataFormat;

enum class Order { grey, rgb, bgr, rgba, bgra };

/// Where an image's finished pixels are and how they are laid out in memory.
struct PixelLayout {
    const uint8_t* data = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t row_bytes = 0;  // distance between rows; converted rows are padded to a multiple of 4 pixels
    int channels = 1;
    int sample_bytes = 1;
    Order order = Order::grey;
};

uint64_t paddedWidth(uint64_t width) { return (width + 3) & ~uint64_t{3}; }

template <class T>
PixelLayout over(const std::vector<T, qor::PixelAllocator<T>>& pixels, uint64_t width, uint64_t height, uint64_t row_pixels, int channels,
                 Order order) {
    if (width == 0 || height == 0 || width > 0xFFFFFF || height > 0xFFFFFF)
        throw NotRenderable("the image has no valid size");
    const uint64_t row_samples = row_pixels * static_cast<uint64_t>(channels);
    // The last row needs only its pixels, not its padding.
    if (pixels.size() < row_samples * (height - 1) + width * static_cast<uint64_t>(channels))
        throw NotRenderable("the image holds fewer pixels than its crop");
    PixelLayout layout;
    layout.data = reinterpret_cast<const uint8_t*>(pixels.data());
    layout.width = static_cast<uint32_t>(width);
    layout.height = static_cast<uint32_t>(height);
    layout.row_bytes = row_samples * sizeof(T);
    layout.channels = channels;
    layout.sample_bytes = sizeof(T);
    layout.order = order;
    return layout;
}

template <class T>
const std::vector<T, qor::PixelAllocator<T>>* held(const qor::Image::PixelData& data) {
    return std::get_if<std::vector<T, qor::PixelAllocator<T>>>(&data);
}

PixelLayout layoutOf(const qor::Image& image) {
    const uint64_t w = image.width();
    const uint64_t h = image.height();
    const auto* raw8 = held<uint8_t>(image.rawData());
    const auto* raw16 = held<uint16_t>(image.rawData());
    const auto* conv8 = held<uint8_t>(image.convertedData());
    const auto* conv16 = held<uint16_t>(image.convertedData());
    const auto need = [](const auto* pixels) -> decltype(*pixels) {
        if (pixels == nullptr) throw NotRenderable("the image holds no pixels of its format");
        return *pixels;
    };
    switch (image.dataFormat()) {
        case DataFormat::Mono8:
            // An 8-bit camera's pixels are the image itself, unpadded; converted rows are padded.
            if (raw8 != nullptr) return over(*raw8, w, h, w, 1, Order::grey);
            return over(need(conv8), w, h, paddedWidth(w), 1, Order::grey);
        case DataFormat::CompressedMono8:
            return over(need(conv8), w, h, w, 1, Order::grey);
        case DataFormat::Mono16:
            return over(need(raw16), w, h, w, 1, Order::grey);
        case DataFormat::BGR8:
            return over(need(conv8), w, h, paddedWidth(w), 3, Order::bgr);
        case DataFormat::RGB8:
            return over(need(conv8), w, h, paddedWidth(w), 3, Order::rgb);
        case DataFormat::BGRA8:
            return over(need(conv8), w, h, w, 4, Order::bgra);
        case DataFormat::RGBA8:
            return over(need(conv8), w, h, w, 4, Order::rgba);
        case DataFormat::BGR16:
            return over(need(conv16), w, h, paddedWidth(w), 3, Order::bgr);
        case DataFormat::RGB16:
            return over(need(conv16), w, h, paddedWidth(w), 3, Order::rgb);
        default:
            break;
    }
    // Undefined: whatever raw pixels the image holds, as grey.
    if (raw8 != nullptr) return over(*raw8, w, h, w, 1, Order::grey);
    return over(need(raw16), w, h, w, 1, Order::grey);
}

/// One row in the channel order PNG wants (RGB or RGBA); rows already in that order are used in place.
template <class T>
const void* pngRow(const PixelLayout& layout, uint32_t y, std::vector<uint8_t>& scratch) {
    const uint8_t* row = layout.data + layout.row_bytes * y;
    if (layout.order != Order::bgr && layout.order != Order::bgra) return row;
    const size_t samples = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.channels);
    scratch.resize(samples * sizeof(T));
    const T* in = reinterpret_cast<const T*>(row);
    T* out = reinterpret_cast<T*>(scratch.data());
    const size_t step = static_cast<size_t>(layout.channels);
    for (size_t i = 0; i < samples; i += step) {
        out[i] = in[i + 2];
        out[i + 1] = in[i + 1];
        out[i + 2] = in[i];
        if (step == 4) out[i + 3] = in[i + 3];
    }
    return scratch.data();
}

int appendToString(spng_ctx*, void* user, void* data, size_t length) {
    static_cast<std::string*>(user)->append(static_cast<const char*>(data), length);
    return 0;
}

void checkSpng(int status) {
    if (status != 0 && status != SPNG_EOI) throw EncodingError(std::string("PNG encoder: ") + spng_strerror(status));
}

struct SpngFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

struct TjFree {
    void operator()(void* handle) const { tjDestroy(handle); }
};

/// One compressor per thread: creating it costs more than a small image.
tjhandle jpegCompressor() {
    thread_local std::unique_ptr<void, TjFree> handle(tjInitCompress());
    if (!handle) throw EncodingError("JPEG encoder: cannot initialise");
    return handle.get();
}

struct MediaRange {
    std::string type;
    double quality = 1.0;
};

std::string trimLower(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    std::string out(text.substr(begin, end - begin));
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t begin = 0;
    while (true) {
        const size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
        if (end == std::string_view::npos) return parts;
        begin = end + 1;
    }
}

MediaRange parseRange(std::string_view item) {
    const std::vector<std::string_view> parts = split(item, ';');
    MediaRange range;
    range.type = trimLower(parts.front());
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string param = trimLower(parts[i]);
        if (param.rfind("q=", 0) != 0) continue;
        char* end = nullptr;
        const double q = std::strtod(param.c_str() + 2, &end);
        // A malformed quality value counts as "not acceptable", never as a preference.
        range.quality = (end != param.c_str() + 2 && *end == '\0' && q >= 0 && q <= 1) ? q : 0;
    }
    return range;
}

}  // namespace

Rendering negotiate(std::string_view accept) {
    Rendering best = Rendering::raw;
    double best_quality = 0;
    for (std::string_view item : split(accept, ',')) {
        const MediaRange range = parseRange(item);
        Rendering rendering = Rendering::raw;
        if (range.type == "image/png")
            rendering = Rendering::png;
        else if (range.type == "image/jpeg")
            rendering = Rendering::jpeg;
        else
            continue;
        if (range.quality > best_quality) {
            best = rendering;
            best_quality = range.quality;
        }
    }
    return best;
}

const char* contentType(Rendering rendering) {
    switch (rendering) {
        case Rendering::png: return "image/png";
        case Rendering::jpeg: return "image/jpeg";
        case Rendering::raw: break;
    }
    return "application/octet-stream";
}

bool isSixteenBit(const qor::Image& image) {
    switch (image.dataFormat()) {
        case DataFormat::Mono16:
        case DataFormat::RGB16:
        case DataFormat::BGR16:
            return true;
        case DataFormat::Undefined:
            return std::holds_alternative<qor::PixelWords>(image.rawData());
        default:
            return false;
    }
}

std::string encodePng(const qor::Image& image) {
    const PixelLayout layout = layoutOf(image);
    std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) throw EncodingError("PNG encoder: cannot initialise");
    std::string png;
    png.reserve(static_cast<size_t>(layout.width) * layout.height * layout.channels * layout.sample_bytes / 2);
    checkSpng(spng_set_png_stream(ctx.get(), appendToString, &png));
    // Speed over size: a person looks at the picture now; the raw reply is there for archiving.
    checkSpng(spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, 1));
    checkSpng(spng_set_option(ctx.get(), SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_SUB));

    spng_ihdr ihdr{};
    ihdr.width = layout.width;
    ihdr.height = layout.height;
    ihdr.bit_depth = static_cast<uint8_t>(8 * layout.sample_bytes);
    ihdr.color_type = layout.channels == 1   ? SPNG_COLOR_TYPE_GRAYSCALE
                      : layout.channels == 3 ? SPNG_COLOR_TYPE_TRUECOLOR
                                             : SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    checkSpng(spng_set_ihdr(ctx.get(), &ihdr));
    // Host-endian samples in, the library writes PNG's big-endian order.
    checkSpng(spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE));

    const size_t row_length = static_cast<size_t>(layout.width) * layout.channels * layout.sample_bytes;
    std::vector<uint8_t> scratch;
    for (uint32_t y = 0; y < layout.height; ++y) {
        const void* row = layout.sample_bytes == 2 ? pngRow<uint16_t>(layout, y, scratch) : pngRow<uint8_t>(layout, y, scratch);
        checkSpng(spng_encode_row(ctx.get(), row, row_length));
    }
    return png;
}

std::string encodeJpeg(const qor::Image& image, int quality) {
    if (quality < kMinJpegQuality || quality > kMaxJpegQuality)
        throw std::invalid_argument("JPEG quality must lie between 1 and 100");
    if (isSixteenBit(image)) throw NotRenderable("a 16-bit image cannot be encoded as JPEG");
    const PixelLayout layout = layoutOf(image);
    int pixel_format = TJPF_GRAY;
    switch (layout.order) {
        case Order::grey: pixel_format = TJPF_GRAY; break;
        case Order::rgb: pixel_format = TJPF_RGB; break;
        case Order::bgr: pixel_format = TJPF_BGR; break;
        case Order::rgba: pixel_format = TJPF_RGBX; break;
        case Order::bgra: pixel_format = TJPF_BGRX; break;
    }
    const int subsampling = layout.order == Order::grey ? TJSAMP_GRAY : TJSAMP_420;
    tjhandle handle = jpegCompressor();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int status = tjCompress2(handle, layout.data, static_cast<int>(layout.width), static_cast<int>(layout.row_bytes),
                                   static_cast<int>(layout.height), pixel_format, &jpeg, &size, subsampling, quality,
                                   TJFLAG_FASTDCT);
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(jpeg, [](unsigned char* p) { tjFree(p); });
    if (status != 0) throw EncodingError(std::string("JPEG encoder: ") + tjGetErrorStr2(handle));
    return std::string(reinterpret_cast<const char*>(jpeg), size);
}

}  // namespace image_encoding
