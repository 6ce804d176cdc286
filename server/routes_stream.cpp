// The live view of the camera server: GET /v1/stream.
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "server/accepted_sockets.h"
#include "server/camera_http_server.h"
#include "server/camera_json.h"
#include "server/render_request.h"
#include "server/route_params.h"

namespace {

// What may wait in the kernel for a slow viewer: with the default (growing to megabytes) such a
// viewer would see seconds-old images instead of skipping to the newest one.
constexpr int kStreamSendBufferBytes = 256 * 1024;

bool rendersAsJpeg(qor::DataFormat format) {
    switch (format) {
        case qor::DataFormat::Mono8:
        case qor::DataFormat::BGR8:
        case qor::DataFormat::BGRA8:
        case qor::DataFormat::RGB8:
        case qor::DataFormat::RGBA8:
            return true;
        default:
            return false;
    }
}

}  // namespace

// Parameters: "format" (an 8-bit format, default Mono8), "quality" (1..100), "fps" (a positive
// number: at most this many frames a second), "crop". A 16-bit or compressed format answers 406,
// a bad quality or fps 400, no recording in progress 409, too many open streams 503 (all empty).
void CameraHttpServer::stream(const Request& req, Response& res) {
    StreamSettings settings;
    if (const std::optional<nlohmann::json> format = route_params::jsonParam(req, "format"))
        settings.format = format->get<qor::DataFormat>();
    if (const std::optional<nlohmann::json> crop = route_params::jsonParam(req, "crop"))
        settings.crop = qor::json_tables::cropFromJson(*crop);
    const std::optional<int> quality = jpegQualityParam(req);
    double max_fps = 0;
    if (const std::optional<nlohmann::json> fps = route_params::jsonParam(req, "fps")) {
        max_fps = fps->is_number() ? fps->get<double>() : -1;
        if (!(max_fps > 0)) {
            res.status = 400;
            return;
        }
    }
    if (!quality) {
        res.status = 400;
        return;
    }
    settings.quality = *quality;
    if (!rendersAsJpeg(settings.format)) {
        res.status = 406;
        return;
    }
    const std::optional<bool> recording = control_->isRecording();
    if (!recording) return sendErrorReply(res);
    if (!*recording) {
        res.status = 409;
        return;
    }
    std::shared_ptr<LiveStream::Reader> reader = live_stream_.open(settings, max_fps);
    if (!reader) {
        res.status = 503;
        return;
    }
    if (req.remote_port > 0)
        limitSendBuffer(core_.port(), req.remote_addr, static_cast<uint16_t>(req.remote_port), kStreamSendBufferBytes);
    res.set_header("Cache-Control", "no-cache, no-store");
    res.set_chunked_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + LiveStream::kBoundary,
        [reader](size_t, httplib::DataSink& sink) {
            std::shared_ptr<const StreamFrame> frame;
            switch (reader->next(frame)) {
                case LiveStream::Reader::Status::frame:
                    return sink.write(frame->part.data(), frame->part.size());
                case LiveStream::Reader::Status::waiting:
                    return true;
                case LiveStream::Reader::Status::ended:
                    break;
            }
            const std::string closing = std::string("--") + LiveStream::kBoundary + "--\r\n";
            sink.write(closing.data(), closing.size());
            sink.done();
            return true;
        });
}
