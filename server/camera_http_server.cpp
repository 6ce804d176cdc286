#include "server/camera_http_server.h"

#include <iostream>

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
                                   uint16_t port)
    : control_(control),
      core_(dispatcher, address, port, cameraEntry(control, address, port), ServerConsoleTags{"[Cam port ", "\n[SERVER: "}) {
    registerEndpoints();
    std::lock_guard lock(images_mutex_);
    images_.reserve(100);
}

CameraHttpServer::~CameraHttpServer() { stop(); }

void CameraHttpServer::start() { core_.start(); }

void CameraHttpServer::stop() { core_.stop(); }

void CameraHttpServer::stopServing() { core_.stopServing(); }

void CameraHttpServer::setFreeState(bool free) { core_.setFreeState(free); }

httplib::Server::Handler CameraHttpServer::route(Handler handler) {
    return [this, handler](const httplib::Request& req, httplib::Response& res) {
        try {
            (this->*handler)(req, res);
        } catch (...) {
            // Malformed input (bad JSON, wrong kinds, missing keys) and anything unexpected.
            res = httplib::Response{};
            res.status = 500;
        }
    };
}

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
    core_.registerClaimRoutes();
    httplib::Server& http = core_.http();
    http.Post("/v1/setFree", route(&CameraHttpServer::setFree));
}
