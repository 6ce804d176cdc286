#pragma once

// Rendering camera images for people: PNG and JPEG encodings of an image's pixels in its data
// format, and the choice between them and the raw reply by a request's Accept header.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "camera/image.h"

namespace image_encoding {

/// What an image reply carries.
enum class Rendering { raw, png, jpeg };

/// Thrown when an image cannot be rendered as asked (a 16-bit format as JPEG, a format without pixels).
class NotRenderable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Thrown when the encoding library fails.
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The rendering an Accept header asks for: PNG or JPEG only when it names "image/png" or
/// "image/jpeg" explicitly (the higher quality value wins, the earlier on a tie); everything else,
/// including no header, "*/*", "image/*" and "application/octet-stream", keeps the raw reply.
Rendering negotiate(std::string_view accept);

/// The content type of a rendering ("application/octet-stream" for raw).
const char* contentType(Rendering rendering);

/// Default and limits of the JPEG quality parameter.
constexpr int kDefaultJpegQuality = 85;
constexpr int kMinJpegQuality = 1;
constexpr int kMaxJpegQuality = 100;

/// Whether the image's format holds 16-bit pixels (Mono16, RGB16, BGR16), which JPEG cannot carry.
bool isSixteenBit(const qor::Image& image);

/// The image as PNG: Mono8 and 8-bit raw pixels as 8-bit grey, BGR8/RGB8 as RGB, BGRA8/RGBA8 as RGBA,
/// Mono16 as 16-bit grey, BGR16/RGB16 as 16-bit RGB. Fast compression. Throws NotRenderable when the
/// image holds no pixels for its format, EncodingError when the encoder fails.
std::string encodePng(const qor::Image& image);

/// The image as baseline JPEG of the given quality (1..100): grey for mono, 4:2:0 colour otherwise
/// (alpha dropped). Throws NotRenderable for 16-bit formats or missing pixels, EncodingError when the
/// encoder fails, std::invalid_argument for a quality outside 1..100.
std::string encodeJpeg(const qor::Image& image, int quality);

}  // namespace image_encoding
