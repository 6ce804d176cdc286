// Recording, image and camera-RAM routes of the camera HTTP server.
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/camera_http_server.h"
#include "server/camera_json.h"
#include "server/image_encoding.h"
#include "server/image_headers.h"
#include "server/render_request.h"
#include "server/route_params.h"

using nlohmann::json;

namespace {

constexpr const char* kOctetStream = "application/octet-stream";
// Image bodies are handed to the socket in pieces of this size.
constexpr size_t kChunkBytes = size_t{1} << 20;

/// The camera name as one folder name: the scratch folder is emptied recursively, so a name with
/// slashes, an absolute path, "." or ".." must never lead it outside "qor_vram".
std::string scratchFolderName(std::string name) {
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.empty() || name == "." || name == "..") return "camera";
    return name;
}

bool hasAll(const httplib::Request& req, std::initializer_list<const char*> names) {
    return std::all_of(names.begin(), names.end(), [&](const char* name) { return req.has_param(name); });
}

/// A parameter the handler has found present, parsed as JSON; throws the library's parse error.
json presentParam(const httplib::Request& req, const char* name) { return route_params::jsonParam(req, name).value(); }

/// A number or boolean of 16 or 32 bits; huge or negative numbers keep their low bits.
template <class T>
T narrowFrom(const json& value) {
    if constexpr (sizeof(T) == 2)
        return qor::json_tables::uint16FromJson(value);
    else
        return qor::json_tables::uint32FromJson(value);
}

template <std::unsigned_integral T>
T narrowParam(const httplib::Request& req, const char* name, T fallback) {
    const std::optional<json> value = route_params::jsonParam(req, name);
    return value ? narrowFrom<T>(*value) : fallback;
}

/// Numbers only: a boolean is not a time.
double doubleParam(const httplib::Request& req, const char* name, double fallback) {
    const std::optional<json> value = route_params::jsonParam(req, name);
    return value ? qor::json_tables::doubleFromJson(*value) : fallback;
}

bool boolParam(const httplib::Request& req, const char* name, bool fallback) {
    const std::optional<json> value = route_params::jsonParam(req, name);
    return value ? value->get<bool>() : fallback;
}

std::optional<qor::Roi> cropParam(const httplib::Request& req) {
    const std::optional<json> value = route_params::jsonParam(req, "crop");
    if (!value) return std::nullopt;
    return qor::json_tables::cropFromJson(*value);
}

std::optional<qor::CompressionParams> compressionParam(const httplib::Request& req) {
    const std::optional<json> value = route_params::jsonParam(req, "comp_params");
    if (!value) return std::nullopt;
    return value->get<qor::CompressionParams>();
}

const qor::CompressionParams* pointerTo(const std::optional<qor::CompressionParams>& params) {
    return params ? &*params : nullptr;
}

qor::Roi wholeImage(const qor::Image& image) {
    return qor::Roi{1, 1, static_cast<int64_t>(image.width()), static_cast<int64_t>(image.height())};
}

void setJsonHeader(httplib::Response& res, const char* name, const json& value) { res.set_header(name, headerJson(value)); }

/// The pixel vector that forms an image body: the 8-bit raw (or compressed) pixels, else the 16-bit
/// raw pixels. Throws qor::CameraException when the image holds neither.
struct PixelSpan {
    const char* data = nullptr;
    size_t bytes = 0;
    size_t pixels = 0;
    bool words = false;
};

PixelSpan bodyPixels(const qor::Image& image) {
    if (image.dataFormat() == qor::DataFormat::CompressedMono8 ||
        std::holds_alternative<qor::PixelBytes>(image.rawData())) {
        const qor::PixelBytes& bytes = image.rawData8();
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size(), bytes.size(), false};
    }
    const qor::PixelWords& words = image.rawData16();
    return {reinterpret_cast<const char*>(words.data()), words.size() * sizeof(uint16_t), words.size(), true};
}

/// Everything an image reply sends, detached from the image series or the request's image.
struct ImageReply {
    ImageDescription description;
    std::shared_ptr<const void> owner;  // keeps the body bytes alive until the reply is written
    const char* bytes = nullptr;
    size_t size = 0;
};

ImageReply describe(const qor::Image& image, const PixelSpan& span) {
    ImageReply reply;
    reply.description = describeImage(image, span.words);
    reply.size = span.bytes;
    return reply;
}

/// Sends the image's own pixels, without copying them; the image is released after the reply.
ImageReply replyOwning(std::shared_ptr<const qor::Image> held) {
    const PixelSpan span = bodyPixels(*held);
    ImageReply reply = describe(*held, span);
    reply.bytes = span.data;
    reply.owner = std::move(held);
    return reply;
}

/// Copies the body bytes, so that the image itself can stay where it is (and its lock be released).
ImageReply replyCopying(const qor::Image& image, const PixelSpan& span) {
    ImageReply reply = describe(image, span);
    auto copy = std::make_shared<const std::vector<char>>(span.data, span.data + span.bytes);
    reply.bytes = copy->data();
    reply.owner = std::move(copy);
    return reply;
}

/// Whether a crop of 1-based, inclusive coordinates covers exactly `pixels` pixels.
bool cropCovers(const qor::Roi& crop, size_t pixels) {
    if (crop.x0 < 1 || crop.y0 < 1 || crop.x1 < crop.x0 || crop.y1 < crop.y0) return false;
    const auto width = static_cast<uint64_t>(crop.x1 - crop.x0) + 1;
    const auto height = static_cast<uint64_t>(crop.y1 - crop.y0) + 1;
    return width <= pixels / height && width * height == pixels;
}

/// Whether the request is refused 406 before the camera is asked: a JPEG of a format with 16-bit
/// pixels (a fifo recording would otherwise lose the image to a request that cannot be answered).
bool refusedAsJpeg(const RenderRequest& request, qor::DataFormat format) {
    return request.rendering == image_encoding::Rendering::jpeg &&
           (format == qor::DataFormat::Mono16 || format == qor::DataFormat::RGB16 || format == qor::DataFormat::BGR16);
}

/// The image encoded as the client asked; empty when it cannot be (a 16-bit format as JPEG: 406).
std::optional<std::string> render(const qor::Image& image, const RenderRequest& request) {
    try {
        if (request.rendering == image_encoding::Rendering::png) return image_encoding::encodePng(image);
        return image_encoding::encodeJpeg(image, request.quality);
    } catch (const image_encoding::NotRenderable&) {
        return std::nullopt;
    }
}

/// Answers the image as PNG or JPEG with all the headers of the raw reply; 406 (empty) when the
/// format cannot be rendered so.
void sendRenderedReply(CameraControl& control, httplib::Response& res, const qor::Image& image,
                       const RenderRequest& request, std::optional<qor::RawFormat> raw_format) {
    ImageDescription description = describeImage(image, bodyPixels(image).words);
    description.raw_format = raw_format;
    const HeaderList headers = imageHeaders(control, description);
    std::optional<std::string> body = render(image, request);
    if (!body) {
        res.headers.erase("crop");
        res.status = 406;
        return;
    }
    for (const auto& [name, value] : headers) res.set_header(name.c_str(), value);
    res.status = 200;
    res.set_content(std::move(*body), image_encoding::contentType(request.rendering));
}

/// Writes the headers after "crop" and hands the body to the HTTP library. The facade queries come
/// first: one without a value throws, and the frame then answers 500 with nothing of this reply.
void sendImageReply(CameraControl& control, httplib::Response& res, ImageReply reply) {
    for (const auto& [name, value] : imageHeaders(control, reply.description)) res.set_header(name.c_str(), value);

    res.status = 200;
    if (reply.size == 0) {
        res.set_content("", kOctetStream);
        return;
    }
    auto body = std::make_shared<ImageReply>(std::move(reply));
    // The provider must not throw (the HTTP library cannot handle it there): it only writes bytes.
    res.set_content_provider(
        body->size, kOctetStream,
        [body](size_t offset, size_t length, httplib::DataSink& sink) {
            if (!body->owner || offset >= body->size) return false;
            const size_t n = std::min({length, kChunkBytes, body->size - offset});
            return sink.write(body->bytes + offset, n);
        },
        [body](bool) { body->owner.reset(); });
}

}  // namespace

void CameraHttpServer::isRecording(const Request&, Response& res) {
    const std::optional<bool> recording = control_->isRecording();
    if (!recording) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, *recording);
}

void CameraHttpServer::record(const Request& req, Response& res) {
    const uint32_t count = narrowParam<uint32_t>(req, "imgCount", 1);
    const auto mode = req.has_param("recMode") ? presentParam(req, "recMode").get<qor::RecordMode>()
                                               : qor::RecordMode::sequence;
    const uint16_t flags = narrowParam<uint16_t>(req, "flags", 0);
    std::filesystem::path file = req.get_param_value("file");
    if (!file.empty() && file != "qor_vram" && !settings_.allowsRecordingTo(file)) {
        res.status = 403;
        return;
    }

    // One record request at a time per camera: the check below and the start of the recording must
    // not interleave with another request's, or that one could empty the folder it records into.
    std::unique_lock record_lock(record_mutex_, std::try_to_lock);
    if (!record_lock.owns_lock() || control_->isRecording().value()) {
        res.status = 409;
        return;
    }
    if (file == "qor_vram") {
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() / "qor_vram" / scratchFolderName(control_->getName().value());
        std::filesystem::create_directories(folder);
        for (const auto& entry : std::filesystem::directory_iterator(folder)) std::filesystem::remove_all(entry.path());
        file = folder / "image";
    } else if (!file.empty() && !file.has_root_directory()) {
        file = std::filesystem::absolute(file);
    }
    live_stream_.recordingStarted(mode);
    if (!control_->record(count, mode, file, flags)) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::stopRecording(const Request&, Response& res) {
    if (!control_->stop()) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::waitForFirstImage(const Request& req, Response& res) {
    const double timeout_s = doubleParam(req, "timeout", std::numeric_limits<double>::quiet_NaN());
    const bool delay = boolParam(req, "delay", true);
    if (!control_->waitForFirstImage(delay, timeout_s)) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::waitForNewImage(const Request& req, Response& res) {
    const double timeout_s = doubleParam(req, "timeout", std::numeric_limits<double>::quiet_NaN());
    const bool delay = boolParam(req, "delay", true);
    if (!control_->waitForNewImage(delay, timeout_s)) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::getRecordedImageCount(const Request&, Response& res) {
    const std::optional<uint64_t> count = control_->getRecordedImageCount();
    if (!count) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, json{{"recorded", *count}});
}

void CameraHttpServer::getRecorderBufferSize(const Request&, Response& res) {
    const std::optional<uint64_t> size = control_->getRecorderBufferSize();
    if (!size) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, json{{"buffSize", *size}});
}

void CameraHttpServer::trigger(const Request&, Response& res) {
    // Whether the camera took the trigger is not reported, only whether the call could be made.
    if (!control_->trigger().has_value()) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::image(const Request& req, Response& res) {
    if (!hasAll(req, {"index", "format"})) {
        res.status = 400;
        return;
    }
    const uint32_t index = narrowFrom<uint32_t>(presentParam(req, "index"));
    const auto format = presentParam(req, "format").get<qor::DataFormat>();
    const std::optional<qor::Roi> crop = cropParam(req);
    const std::optional<qor::CompressionParams> comp_params = compressionParam(req);
    const RenderRequest rendering = renderRequest(req);
    if (!rendering.valid || refusedAsJpeg(rendering, format)) {
        res.status = rendering.valid ? 406 : 400;
        return;
    }

    std::shared_ptr<qor::Image> image = image_pool_->take();
    qor::RawFormat raw_format{};
    const bool ok = crop ? control_->image(*image, *crop, index, format, pointerTo(comp_params), &raw_format)
                         : control_->image(*image, index, format, pointerTo(comp_params), &raw_format);
    setJsonHeader(res, "crop", json(crop.value_or(wholeImage(*image))));
    if (!ok) return sendErrorReply(res);
    if (rendering.rendering != image_encoding::Rendering::raw)
        return sendRenderedReply(*control_, res, *image, rendering, raw_format);
    ImageReply reply = replyOwning(std::move(image));
    reply.description.raw_format = raw_format;
    sendImageReply(*control_, res, std::move(reply));
}

namespace {

// Frees a series and hands the freed pages back to the system: the allocator would otherwise keep
// a large series' memory resident after a smaller one replaced it.
void releaseSeries(std::vector<qor::Image>& series) {
    if (series.empty()) return;
    std::vector<qor::Image>().swap(series);
    malloc_trim(0);
}

}  // namespace

void CameraHttpServer::images(const Request& req, Response& res) {
    if (!hasAll(req, {"start_index", "format"})) {
        res.status = 400;
        return;
    }
    const uint32_t start_index = narrowFrom<uint32_t>(presentParam(req, "start_index"));
    const auto format = presentParam(req, "format").get<qor::DataFormat>();
    const std::optional<qor::Roi> crop = cropParam(req);
    const std::optional<qor::CompressionParams> comp_params = compressionParam(req);

    // The series is emptied at once and filled outside the lock: readers meanwhile see an empty
    // series, never a half-filled one, and a long fill does not hold them up. Images are freed
    // outside the lock as well.
    std::vector<qor::Image> series;
    {
        std::lock_guard lock(images_mutex_);
        series.swap(images_);
    }
    releaseSeries(series);
    qor::RawFormat raw_format{};
    const bool ok = crop ? control_->images(series, *crop, format, start_index, pointerTo(comp_params), &raw_format)
                         : control_->images(series, format, start_index, pointerTo(comp_params), &raw_format);
    if (!ok) return sendErrorReply(res);

    const size_t count = series.size();
    const std::optional<qor::Roi> first = series.empty() ? std::nullopt : std::optional(wholeImage(series.front()));
    {
        std::lock_guard lock(images_mutex_);
        series.swap(images_);
        images_raw_format_ = raw_format;
    }
    series.clear();
    if (!crop && !first) {
        res.status = 500;
        return;
    }
    setJsonHeader(res, "crop", json(crop ? *crop : *first));
    res.set_header("count", std::to_string(count));
    res.status = 200;
}

void CameraHttpServer::getImageFromImages(const Request& req, Response& res) {
    if (!hasAll(req, {"index", "crop", "format"})) {
        res.status = 400;
        return;
    }
    const uint32_t index = narrowFrom<uint32_t>(presentParam(req, "index"));
    const qor::Roi crop = qor::json_tables::cropFromJson(presentParam(req, "crop"));
    const auto format = presentParam(req, "format").get<qor::DataFormat>();
    const RenderRequest rendering = renderRequest(req);
    if (!rendering.valid) {
        res.status = 400;
        return;
    }

    ImageReply reply;
    std::optional<qor::Image> rendered_copy;  // rendering takes long: it works on a copy, outside the lock
    std::optional<qor::RawFormat> raw_format;
    {
        std::lock_guard lock(images_mutex_);
        if (index >= images_.size()) {
            res.status = 400;
            return;
        }
        const qor::Image& stored = images_[index];
        const PixelSpan span = bodyPixels(stored);
        if (!cropCovers(crop, span.pixels) || stored.dataFormat() != format) {
            res.status = 400;
            return;
        }
        if (rendering.rendering != image_encoding::Rendering::raw)
            rendered_copy = stored;
        else
            reply = replyCopying(stored, span);
        raw_format = images_raw_format_;
    }
    setJsonHeader(res, "crop", json(crop));
    if (rendered_copy) return sendRenderedReply(*control_, res, *rendered_copy, rendering, raw_format);
    reply.description.raw_format = raw_format;
    sendImageReply(*control_, res, std::move(reply));
}

void CameraHttpServer::imageAverage(const Request& req, Response& res) {
    if (!req.has_param("format")) {
        res.status = 400;
        return;
    }
    const auto format = presentParam(req, "format").get<qor::DataFormat>();
    const std::optional<qor::Roi> crop = cropParam(req);
    const RenderRequest rendering = renderRequest(req);
    if (!rendering.valid || refusedAsJpeg(rendering, format)) {
        res.status = rendering.valid ? 406 : 400;
        return;
    }

    std::shared_ptr<qor::Image> image = image_pool_->take();
    qor::RawFormat raw_format{};
    const bool ok = crop ? control_->imageAverage(*image, *crop, format, &raw_format)
                         : control_->imageAverage(*image, format, &raw_format);
    if (!ok) return sendErrorReply(res);
    setJsonHeader(res, "crop", json(crop.value_or(wholeImage(*image))));
    if (rendering.rendering != image_encoding::Rendering::raw)
        return sendRenderedReply(*control_, res, *image, rendering, raw_format);
    ImageReply reply = replyOwning(std::move(image));
    reply.description.raw_format = raw_format;
    sendImageReply(*control_, res, std::move(reply));
}

void CameraHttpServer::hasRam(const Request&, Response& res) {
    const std::optional<bool> has_ram = control_->hasRam();
    if (!has_ram) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, *has_ram);
}

void CameraHttpServer::switchToCamRam(const Request& req, Response& res) {
    const bool ok = req.has_param("segment")
                        ? control_->switchToCamRam(qor::json_tables::uint16NumberFromJson(presentParam(req, "segment")))
                        : control_->switchToCamRam();
    if (!ok) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::getCamRamSegment(const Request&, Response& res) {
    const std::optional<uint16_t> segment = control_->getCamRamSegment();
    if (!segment) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, *segment);
}

void CameraHttpServer::getCamRamMaxImages(const Request&, Response& res) {
    const std::optional<uint32_t> count = control_->getCamRamMaxImages();
    if (!count) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, *count);
}

void CameraHttpServer::getCamRamNumImages(const Request&, Response& res) {
    const std::optional<uint32_t> count = control_->getCamRamNumImages();
    if (!count) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, *count);
}

void CameraHttpServer::setCamRamAllocation(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.is_object() || !body.contains("percents")) {
        res.status = 400;
        return;
    }
    if (!control_->setCamRamAllocation(qor::json_tables::percentsFromJson(body.at("percents"))))
        return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::getCamRamAllocation(const Request&, Response& res) {
    const std::optional<std::vector<uint32_t>> percents = control_->getCamRamAllocation();
    if (!percents) return sendErrorReply(res);
    ClaimedHttpServer::replyJson(res, *percents);
}
