#include "server/camera_http_server.h"

#include <iostream>

#include "server/console_assets.h"
#include "server/image_headers.h"

namespace {

DiscoveryEntry cameraEntry(CameraControl* control, const std::string& address, uint16_t port) {
    DiscoveryEntry entry;
    entry.type = "camera";
    entry.ip = address;
    entry.port = port;
    entry.name = control->getName().value_or("No Camera");
    entry.serial = control->getSerial().value_or(0);
    entry.free = true;
    entry.changed = std::chrono::steady_clock::now();
    return entry;
}

}  // namespace

CameraHttpServer::CameraHttpServer(CameraControl* control, Dispatcher* dispatcher, const std::string& address,
                                   uint16_t port, ServerSettings settings)
    : control_(control),
      settings_(std::move(settings)),
      core_(dispatcher, address, port, cameraEntry(control, address, port), ServerConsoleTags{"[Cam port ", "\n[SERVER: "},
            settings_.bind_address) {
    registerEndpoints();
    core_.exposeHeaders(imageHeaderNames());
    std::lock_guard lock(images_mutex_);
    images_.reserve(100);
}

CameraHttpServer::~CameraHttpServer() { stop(); }

void CameraHttpServer::start() { core_.start(); }

void CameraHttpServer::stop() {
    live_stream_.close();  // open streams end at once instead of holding the listener's workers
    core_.stop();
}

void CameraHttpServer::stopServing() {
    live_stream_.close();
    core_.stopServing();
}

void CameraHttpServer::setFreeState(bool free) { core_.setFreeState(free); }

httplib::Server::Handler CameraHttpServer::route(Handler handler) { return ClaimedHttpServer::guarded(this, handler); }

void CameraHttpServer::sendErrorReply(httplib::Response& res) {
    nlohmann::json body{{"code", -1}, {"where", "Unknown Error!"}};
    if (auto error = control_->getLastError()) {
        body = {{"code", error->code}, {"where", error->where}};
        control_->clearLastError();
    }
    res.status = 503;
    ClaimedHttpServer::replyJson(res, body);
}

void CameraHttpServer::setFree(const httplib::Request&, httplib::Response& res) {
    setFreeState(true);
    std::cout << "[Cam port " << core_.port() << "] Manually set to free\n" << std::flush;
    if (!control_->reopen()) return sendErrorReply(res);
    res.status = 200;
}

void CameraHttpServer::registerEndpoints() {
    core_.registerClaimRoutes();  // /v1/info, /v1/heartbeat
    using S = CameraHttpServer;
    core_.post("/v1/setFree", route(&S::setFree));
    core_.post("/v1/uploadLut", route(&S::uploadLut));
    core_.get("/v1/getName", route(&S::getName));
    core_.get("/v1/getRawFormat", route(&S::getRawFormat));
    core_.get("/v1/getSerial", route(&S::getSerial));
    core_.get("/v1/getInterface", route(&S::getInterface));
    core_.get("/v1/isRecording", route(&S::isRecording));
    core_.get("/v1/isColored", route(&S::isColored));
    core_.get("/v1/getDescription", route(&S::getDescription));
    core_.put("/v1/defaultConfiguration", route(&S::defaultConfiguration));
    core_.get("/v1/getConfiguration", route(&S::getConfiguration));
    core_.put("/v1/setConfiguration", route(&S::setConfiguration));
    core_.get("/v1/getExposureTime", route(&S::getExposureTime));
    core_.put("/v1/setExposureTime", route(&S::setExposureTime));
    core_.get("/v1/getDelayTime", route(&S::getDelayTime));
    core_.put("/v1/setDelayTime", route(&S::setDelayTime));
    core_.post("/v1/record", route(&S::record));
    core_.post("/v1/stop", route(&S::stopRecording));
    core_.post("/v1/waitForFirstImage", route(&S::waitForFirstImage));
    core_.post("/v1/waitForNewImage", route(&S::waitForNewImage));
    core_.get("/v1/getRecordedImageCount", route(&S::getRecordedImageCount));
    core_.get("/v1/getRecorderBufferSize", route(&S::getRecorderBufferSize));
    core_.post("/v1/trigger", route(&S::trigger));
    core_.post("/v1/autoExposureOn", route(&S::autoExposureOn));
    core_.post("/v1/autoExposureOff", route(&S::autoExposureOff));
    core_.put("/v1/configureAutoExposure", route(&S::configureAutoExposure));
    core_.get("/v1/getConvertControl", route(&S::getConvertControl));
    core_.put("/v1/setConvertControl", route(&S::setConvertControl));
    core_.put("/v1/configureHWIO_1_exposureTrigger", route(&S::configureHWIO_1_exposureTrigger));
    core_.put("/v1/configureHWIO_2_acquireEnable", route(&S::configureHWIO_2_acquireEnable));
    core_.put("/v1/configureHWIO_3_statusBusy", route(&S::configureHWIO_3_statusBusy));
    core_.put("/v1/configureHWIO_4_statusExpos", route(&S::configureHWIO_4_statusExpos));
    core_.post("/v1/loadLut", route(&S::loadLut));
    core_.post("/v1/adaptWhiteBalance", route(&S::adaptWhiteBalance));
    core_.get("/v1/image", route(&S::image));
    core_.get("/v1/images", route(&S::images));
    core_.get("/v1/getImageFromImages", route(&S::getImageFromImages));
    core_.get("/v1/imageAverage", route(&S::imageAverage));
    core_.get("/v1/hasRam", route(&S::hasRam));
    core_.post("/v1/switchToCamRam", route(&S::switchToCamRam));
    core_.get("/v1/getCamRamSegment", route(&S::getCamRamSegment));
    core_.get("/v1/getCamRamMaxImages", route(&S::getCamRamMaxImages));
    core_.get("/v1/getCamRamNumImages", route(&S::getCamRamNumImages));
    core_.put("/v1/setCamRamAllocation", route(&S::setCamRamAllocation));
    core_.get("/v1/getCamRamAllocation", route(&S::getCamRamAllocation));
    core_.get("/v1/getSensorInfo", route(&S::getSensorInfo));
    core_.get("/v1/getQORDescription", route(&S::getQORDescription));
    core_.get("/v1/stream", route(&S::stream));
    registerConsole(core_, "index.html");
}
