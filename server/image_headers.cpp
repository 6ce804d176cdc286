#include "server/image_headers.h"

#include "server/camera_json.h"

using nlohmann::json;

ImageDescription describeImage(const qor::Image& image, bool raw_words) {
    ImageDescription description;
    description.format = image.dataFormat();
    description.image_number = image.recorderImageNumber();
    description.width = image.width();
    description.height = image.height();
    if (const QOR_Metadata* metadata = image.metaDataPtr()) description.metadata = *metadata;
    if (const QOR_Timestamp* timestamp = image.timestampPtr()) description.timestamp = *timestamp;
    description.raw_words = raw_words;
    return description;
}

std::string headerJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

HeaderList imageHeaders(CameraControl& control, const ImageDescription& image) {
    const qor::RawFormat raw_format = control.getRawFormat().value();
    const uint32_t color_mode =
        control.calculateColorMode(qor::Roi{1, 1, static_cast<int64_t>(image.width), static_cast<int64_t>(image.height)})
            .value();
    std::optional<json> convert_control;
    if (image.raw_words && image.format != qor::DataFormat::Mono16)
        convert_control = json(control.getConvertControl(image.format).value());

    HeaderList headers;
    headers.emplace_back("format", headerJson(json(image.format)));
    headers.emplace_back("rawFormat", headerJson(json(raw_format)));
    headers.emplace_back("recorderImageNumber", std::to_string(image.image_number));
    headers.emplace_back("colorMode", std::to_string(color_mode));
    if (image.metadata) headers.emplace_back("metadata", headerJson(json(*image.metadata)));
    if (image.timestamp) headers.emplace_back("timestamp", headerJson(json(*image.timestamp)));
    if (convert_control) headers.emplace_back("convCtrl", headerJson(*convert_control));
    return headers;
}

const std::vector<std::string>& imageHeaderNames() {
    static const std::vector<std::string> names = {"crop",     "format",    "rawFormat", "recorderImageNumber", "colorMode",
                                                   "metadata", "timestamp", "convCtrl",  "count"};
    return names;
}
