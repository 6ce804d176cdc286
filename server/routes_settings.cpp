// Identity, state and settings routes of the camera HTTP server: identity and description, the
// configuration with exposure and delay, auto exposure, conversion settings, the four hardware
// signals, look-up tables and the white balance.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <variant>

#include "server/camera_http_server.h"
#include "server/camera_json.h"
#include "server/route_params.h"

using nlohmann::json;

namespace {

constexpr uint32_t kNewestImage = 0xFFFFFFFF;

void replyJson(httplib::Response& res, const json& document) {
    res.status = 200;
    ClaimedHttpServer::replyJson(res, document);
}

void replyEmpty(httplib::Response& res) { res.status = 200; }

// Text that the reply can name exactly as it is stored: valid UTF-8 (a JSON reply could not carry
// other bytes) and no control characters (a NUL would end the stored name early).
bool isPrintableUtf8(const std::string& text) {
    for (const unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    try {
        (void)json(text).dump();
    } catch (const json::type_error&) {
        return false;
    }
    return true;
}

// The file name an uploaded table is stored under inside the table directory, or empty when the
// client's name has no usable last component ("dir/", ".", "..") or is not printable UTF-8: only
// that component is used, so an upload never lands outside the directory.
std::string storedLutName(const std::string& client_name) {
    if (client_name.empty()) return "lut.lt1";
    if (!isPrintableUtf8(client_name)) return {};
    const std::filesystem::path name = std::filesystem::path(client_name).filename();
    if (name.empty() || name == "." || name == "..") return {};
    return name.string();
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes the whole content into a new file beside `file` and renames it into place, or reports
// false. Whatever stood at the name before is never opened (a FIFO there would block the writer)
// and no truncated table is ever visible under the name.
bool writeFile(const std::filesystem::path& file, const std::string& content) {
    std::string temporary = (file.parent_path() / ".upload-XXXXXX").string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    const bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, content);
    const bool closed = ::close(fd) == 0;
    if (written && closed && ::rename(temporary.c_str(), file.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace

void CameraHttpServer::uploadLut(const Request& req, Response& res) {
    if (req.get_header_value("Content-Type").rfind("multipart/form-data", 0) != 0 || !req.has_file("lut")) {
        res.status = 400;
        return;
    }
    const httplib::MultipartFormData part = req.get_file_value("lut");
    const std::string name = storedLutName(part.filename);
    if (part.content.empty() || name.empty()) {
        res.status = 400;
        return;
    }
    const std::filesystem::path& dir = settings_.lut_directory;
    std::filesystem::create_directories(dir);
    if (!writeFile(dir / name, part.content)) {
        res.status = 500;
        return;
    }
    replyJson(res, json{{"saved", name}});
}

void CameraHttpServer::getName(const Request&, Response& res) {
    auto name = control_->getName();
    if (!name) return sendErrorReply(res);
    replyJson(res, json(*name));
}

void CameraHttpServer::getRawFormat(const Request&, Response& res) {
    auto format = control_->getRawFormat();
    if (!format) return sendErrorReply(res);
    replyJson(res, json(qor::json_tables::rawFormatName(*format)));
}

void CameraHttpServer::getSerial(const Request&, Response& res) {
    auto serial = control_->getSerial();
    if (!serial) return sendErrorReply(res);
    replyJson(res, json(*serial));
}

void CameraHttpServer::getInterface(const Request&, Response& res) {
    auto interface_type = control_->getInterface();
    if (!interface_type) return sendErrorReply(res);
    replyJson(res, json(static_cast<qor::InterfaceType>(*interface_type)));
}

void CameraHttpServer::isColored(const Request&, Response& res) {
    auto colored = control_->isColored();
    if (!colored) return sendErrorReply(res);
    replyJson(res, json(*colored));
}

void CameraHttpServer::getDescription(const Request&, Response& res) {
    auto description = control_->getDescription();
    if (!description) return sendErrorReply(res);
    replyJson(res, json(*description));
}

void CameraHttpServer::defaultConfiguration(const Request&, Response& res) {
    if (!control_->defaultConfiguration()) return sendErrorReply(res);
    auto configuration = control_->getConfiguration();
    if (!configuration) return sendErrorReply(res);
    replyJson(res, json(*configuration));
}

void CameraHttpServer::getConfiguration(const Request&, Response& res) {
    auto configuration = control_->getConfiguration();
    if (!configuration) return sendErrorReply(res);
    replyJson(res, json(*configuration));
}

void CameraHttpServer::setConfiguration(const Request& req, Response& res) {
    // A default-constructed configuration has every field unspecified; the body fills it.
    qor::Configuration configuration;
    route_params::jsonBody(req).get_to(configuration);
    if (!control_->setConfiguration(configuration)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::getExposureTime(const Request&, Response& res) {
    auto seconds = control_->getExposureTime();
    if (!seconds) return sendErrorReply(res);
    replyJson(res, json{{"exposure_s", *seconds}});
}

void CameraHttpServer::setExposureTime(const Request& req, Response& res) {
    const double seconds = route_params::requiredNumber(route_params::jsonBody(req), "exposure_s");
    if (!control_->setExposureTime(seconds)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::getDelayTime(const Request&, Response& res) {
    auto seconds = control_->getDelayTime();
    if (!seconds) return sendErrorReply(res);
    replyJson(res, json{{"delay_s", *seconds}});
}

void CameraHttpServer::setDelayTime(const Request& req, Response& res) {
    const double seconds = route_params::requiredNumber(route_params::jsonBody(req), "delay_s");
    if (!control_->setDelayTime(seconds)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::autoExposureOn(const Request&, Response& res) {
    if (!control_->autoExposureOn()) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::autoExposureOff(const Request&, Response& res) {
    if (!control_->autoExposureOff()) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::configureAutoExposure(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    const qor::RegionType region = qor::json_tables::regionFromJson(body.at("region"));
    const double min_s = route_params::requiredNumber(body, "min_exposure_s");
    const double max_s = route_params::requiredNumber(body, "max_exposure_s");
    if (!control_->configureAutoExposure(region, min_s, max_s)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::getConvertControl(const Request& req, Response& res) {
    auto format = route_params::jsonParam(req, "format");
    if (!format) {
        res.status = 400;
        return;
    }
    auto settings = control_->getConvertControl(format->get<qor::DataFormat>());
    if (!settings) return sendErrorReply(res);
    replyJson(res, json(*settings));
}

void CameraHttpServer::setConvertControl(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.is_object() || !body.contains("format") || !body.contains("convert")) {
        res.status = 400;
        return;
    }
    const auto format = body.at("format").get<qor::DataFormat>();
    qor::ConvertControl settings;
    body.at("convert").get_to(settings);
    if (auto* pseudo = std::get_if<qor::ConvertControlPseudoColor>(&settings); pseudo && !pseudo->lut_file.empty()) {
        auto resolved = route_params::resolveLutPath(pseudo->lut_file, settings_.lut_directory);
        if (!resolved) {
            res.status = 404;
            return;
        }
        pseudo->lut_file = *resolved;
    }
    if (!control_->setConvertControl(format, settings)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::configureHWIO_1_exposureTrigger(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.contains("on") || !body.contains("polarity")) {
        res.status = 400;
        return;
    }
    const bool on = body.at("on").get<bool>();
    const auto polarity = qor::json_tables::edgePolarityFromJson(body.at("polarity"));
    if (!control_->configureHWIO_1_exposureTrigger(on, polarity)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::configureHWIO_2_acquireEnable(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.contains("on") || !body.contains("polarity")) {
        res.status = 400;
        return;
    }
    const bool on = body.at("on").get<bool>();
    const auto polarity = qor::json_tables::levelPolarityFromJson(body.at("polarity"));
    if (!control_->configureHWIO_2_acquireEnable(on, polarity)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::configureHWIO_3_statusBusy(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.contains("on") || !body.contains("polarity") || !body.contains("signal_type")) {
        res.status = 400;
        return;
    }
    const bool on = body.at("on").get<bool>();
    const auto polarity = qor::json_tables::levelPolarityFromJson(body.at("polarity"));
    const auto signal_type = qor::json_tables::statusBusySignalTypeFromJson(body.at("signal_type"));
    auto found = control_->configureHWIO_3_statusBusy(on, polarity, signal_type);
    if (!found) return sendErrorReply(res);
    replyJson(res, json{{"result", *found}});
}

void CameraHttpServer::configureHWIO_4_statusExpos(const Request& req, Response& res) {
    const json body = route_params::jsonBody(req);
    if (!body.contains("on") || !body.contains("polarity") || !body.contains("signal_type") ||
        !body.contains("signal_timing")) {
        res.status = 400;
        return;
    }
    const bool on = body.at("on").get<bool>();
    const auto polarity = qor::json_tables::levelPolarityFromJson(body.at("polarity"));
    const auto signal_type = qor::json_tables::statusExposSignalTypeFromJson(body.at("signal_type"));
    const auto signal_timing = body.at("signal_timing").get<qor::SignalTiming>();
    auto found = control_->configureHWIO_4_statusExpos(on, polarity, signal_type, signal_timing);
    if (!found) return sendErrorReply(res);
    replyJson(res, json{{"result", *found}});
}

void CameraHttpServer::loadLut(const Request& req, Response& res) {
    if (!req.has_param("format") || !req.has_param("lutFile")) {
        res.status = 400;
        return;
    }
    const auto format = route_params::jsonParam(req, "format")->get<qor::DataFormat>();
    const std::filesystem::path lut_file = route_params::jsonParam(req, "lutFile")->get<std::string>();
    auto resolved = route_params::resolveLutPath(lut_file, settings_.lut_directory);
    if (!resolved) {
        res.status = 404;
        return;
    }
    if (!control_->loadLut(format, *resolved)) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::adaptWhiteBalance(const Request& req, Response& res) {
    auto format_param = route_params::jsonParam(req, "format");
    if (!format_param) {
        res.status = 400;
        return;
    }
    const auto format = format_param->get<qor::DataFormat>();
    auto recorded = control_->getRecordedImageCount();
    if (!recorded || *recorded == 0) {
        res.status = 400;
        return;
    }
    qor::Image image;
    if (!control_->image(image, kNewestImage, format, nullptr)) return sendErrorReply(res);
    bool adapted = false;
    if (auto crop = route_params::jsonParam(req, "crop")) {
        adapted = control_->adaptWhiteBalance(image, qor::json_tables::cropFromJson(*crop));
    } else {
        adapted = control_->adaptWhiteBalance(image);
    }
    if (!adapted) return sendErrorReply(res);
    replyEmpty(res);
}

void CameraHttpServer::getSensorInfo(const Request&, Response& res) {
    auto info = control_->getSensorInfo();
    if (!info) return sendErrorReply(res);
    replyJson(res, json(*info));
}

void CameraHttpServer::getQORDescription(const Request&, Response& res) {
    auto description = control_->getQORDescription();
    if (!description) return sendErrorReply(res);
    replyJson(res, json(*description));
}
