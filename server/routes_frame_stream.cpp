// The routes of the image stream: its configuration and its counters.
#include <climits>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "server/camera_http_server.h"
#include "server/camera_json.h"
#include "server/route_params.h"

using nlohmann::json;

namespace {

/// The stream formats: what /v1/image can answer on this camera, except the compressed one, which
/// needs parameters per request.
bool streamable(CameraControl& control, qor::DataFormat format) {
    if (format == qor::DataFormat::Undefined || format == qor::DataFormat::CompressedMono8) return false;
    const std::optional<qor::RawFormat> raw = control.observe([](qor::Camera& c) { return c.getRawFormat(); });
    if (!raw) return false;
    if (*raw == qor::RawFormat::Byte) return format == qor::DataFormat::Mono8;
    if (format == qor::DataFormat::Mono16) return true;
    return control.observe([&](qor::Camera& c) { return c.getConvertControl(format); }).has_value();
}

/// A TCP endpoint must name its port (1 to 65535, or "*" for any free one): ZeroMQ itself would wrap
/// larger numbers around and bind another port than the one asked for.
bool plausibleEndpoint(const std::string& endpoint) {
    const std::string tcp = "tcp://";
    if (endpoint.rfind(tcp, 0) != 0) return true;  // other transports are ZeroMQ's to judge
    const size_t colon = endpoint.rfind(':');
    if (colon < tcp.size()) return false;
    const std::string port = endpoint.substr(colon + 1);
    if (port == "*") return true;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const int number = std::stoi(port);
    return number >= 1 && number <= 65535;
}

/// The body's keys over the current configuration ("enabled" is required, the others keep their
/// values when absent); false when a value is of the right kind but unusable. Values of the wrong kind
/// throw the JSON library's type error.
bool merge(const json& body, StreamConfiguration& config, CameraControl& control) {
    config.enabled = body.at("enabled").get<bool>();
    if (body.contains("endpoint")) {
        config.endpoint = body.at("endpoint").get<std::string>();
        if (!plausibleEndpoint(config.endpoint)) return false;
    }
    if (body.contains("pattern")) {
        config.pattern = body.at("pattern").get<std::string>();
        if (config.pattern != "push" && config.pattern != "pub") return false;
    }
    if (body.contains("format")) {
        const std::string name = body.at("format").get<std::string>();
        config.format = json(name).get<qor::DataFormat>();
        // The format table answers unknown names with its fallback; only a real name counts.
        if (json(config.format).get<std::string>() != name) return false;
    }
    if (body.contains("high_water_mark")) {
        const json& value = body.at("high_water_mark");
        if (!value.is_number()) value.get<int64_t>();  // throws the library's type error
        if (!value.is_number_integer()) return false;
        const int64_t frames = value.get<int64_t>();
        if (frames < 1 || frames > INT_MAX) return false;  // numbers beyond int64 arrive negative
        config.high_water_mark = frames;
    }
    return !config.enabled || streamable(control, config.format);
}

}  // namespace

void CameraHttpServer::setStreamConfiguration(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.is_object() || !body.contains("enabled")) {
        res.status = 400;
        return;
    }
    StreamConfiguration config = frame_stream_.configuration();
    if (!merge(body, config, *control_)) {
        res.status = 400;
        return;
    }
    try {
        frame_stream_.configure(config);
    } catch (const std::invalid_argument&) {
        res.status = 400;  // the endpoint cannot be bound
        return;
    }
    res.status = 200;
}

void CameraHttpServer::getStreamConfiguration(const Request&, Response& res) {
    const StreamConfiguration config = frame_stream_.configuration();
    ClaimedHttpServer::replyJson(res, json{{"enabled", config.enabled},
                                           {"endpoint", config.endpoint},
                                           {"pattern", config.pattern},
                                           {"format", config.format},
                                           {"high_water_mark", config.high_water_mark},
                                           {"sent", frame_stream_.sent()},
                                           {"dropped", frame_stream_.dropped()}});
}
