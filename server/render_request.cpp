#include "server/render_request.h"

#include <cstdint>

#include <nlohmann/json.hpp>

#include "server/route_params.h"

std::optional<int> jpegQualityParam(const httplib::Request& req) {
    const std::optional<nlohmann::json> quality = route_params::jsonParam(req, "quality");
    if (!quality) return image_encoding::kDefaultJpegQuality;
    if (!quality->is_number_integer()) return std::nullopt;
    const auto value = quality->get<int64_t>();
    if (value < image_encoding::kMinJpegQuality || value > image_encoding::kMaxJpegQuality) return std::nullopt;
    return static_cast<int>(value);
}

RenderRequest renderRequest(const httplib::Request& req) {
    RenderRequest request;
    request.rendering = image_encoding::negotiate(req.get_header_value("Accept"));
    if (request.rendering != image_encoding::Rendering::jpeg) return request;
    const std::optional<int> quality = jpegQualityParam(req);
    request.valid = quality.has_value();
    request.quality = quality.value_or(image_encoding::kDefaultJpegQuality);
    return request;
}
