#pragma once

// How a client asks for an image it can look at: the Accept header and the "quality" parameter.
#include <optional>

#include <httplib.h>

#include "server/image_encoding.h"

/// The rendering a request asks for. Read before the camera is asked, so a bad quality costs nothing.
struct RenderRequest {
    image_encoding::Rendering rendering = image_encoding::Rendering::raw;
    int quality = image_encoding::kDefaultJpegQuality;
    bool valid = true;  // false: "quality" is not a whole number from 1 to 100 (answered 400)
};

/// The JPEG quality of the "quality" parameter: the default without one, empty when it is not a whole
/// JSON number from 1 to 100. Throws nlohmann::json::parse_error for text that is not JSON (answered 500).
std::optional<int> jpegQualityParam(const httplib::Request& req);

/// The rendering of the Accept header, with the quality when it is JPEG (the parameter is ignored
/// otherwise, so raw replies stay as they always were). Throws as jpegQualityParam.
RenderRequest renderRequest(const httplib::Request& req);
