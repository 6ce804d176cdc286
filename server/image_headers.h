#pragma once

// The response headers that describe an image: one list, written by the image replies and by the
// parts of the live stream alike.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "camera/image.h"
#include "camera/types.h"
#include "server/camera_control.h"

/// What the image headers after "crop" say about one image.
struct ImageDescription {
    qor::DataFormat format = qor::DataFormat::Undefined;
    uint32_t image_number = 0;
    uint64_t width = 0;
    uint64_t height = 0;
    std::optional<QOR_Metadata> metadata;
    std::optional<QOR_Timestamp> timestamp;
    bool raw_words = false;  // the body is 16-bit raw pixels (a converted format then adds "convCtrl")
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// The description of an image; `raw_words` tells whether its body will be the 16-bit raw pixels.
ImageDescription describeImage(const qor::Image& image, bool raw_words);

/// A JSON value as header text (compact, invalid UTF-8 replaced).
std::string headerJson(const nlohmann::json& value);

/// "format", "rawFormat", "recorderImageNumber", "colorMode", "metadata", "timestamp" and "convCtrl",
/// in this order, each only where it applies. The facade queries come first; one without a value
/// throws std::bad_optional_access and nothing is returned.
HeaderList imageHeaders(CameraControl& control, const ImageDescription& image);

/// The names of every image header, "crop" and "count" included (what browsers may read across origins).
const std::vector<std::string>& imageHeaderNames();
