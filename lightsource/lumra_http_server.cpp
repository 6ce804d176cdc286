#include "lightsource/lumra_http_server.h"

#include <iostream>

#include <nlohmann/json.hpp>

#include "lightsource/lumra_json.h"
#include "server/console_assets.h"
#include "server/request_json.h"

namespace {

// A light source without a readable description is advertised with an empty name and an unknown serial.
constexpr uint32_t kUnknownSerial = 0xFFFFFFFF;

DiscoveryEntry lumraEntry(LumraControl* control, const std::string& address, uint16_t port) {
    const std::optional<lym::LumraDescription> description = control->getDescription();
    DiscoveryEntry entry;
    entry.type = "lumra";
    entry.ip = address;
    entry.port = port;
    entry.name = description ? description->name : "";
    entry.serial = description ? description->serial : kUnknownSerial;
    entry.free = true;
    entry.changed = std::chrono::steady_clock::now();
    return entry;
}

// Request parameters carry JSON text: a text value arrives as a quoted JSON string. Throws nlohmann's
// parse or type error otherwise.
std::string textParameter(const httplib::Request& req, const char* name) {
    return request_json::parse(req.get_param_value(name)).get<std::string>();
}

}  // namespace

LumraHttpServer::LumraHttpServer(LumraControl* control, Dispatcher* dispatcher, const std::string& address,
                                 uint16_t port, const ServerSettings& settings)
    : control_(control),
      core_(dispatcher, address, port, lumraEntry(control, address, port),
            ServerConsoleTags{"[Lumra on port ", "\n[LR-SERVER: "}, settings.bind_address) {
    registerEndpoints();
}

LumraHttpServer::~LumraHttpServer() { stop(); }

void LumraHttpServer::start() { core_.start(); }

void LumraHttpServer::stop() { core_.stop(); }

void LumraHttpServer::stopServing() { core_.stopServing(); }

void LumraHttpServer::setFreeState(bool free) { core_.setFreeState(free); }

httplib::Server::Handler LumraHttpServer::route(Handler handler) { return ClaimedHttpServer::guarded(this, handler); }

void LumraHttpServer::setFree(const Request&, Response& res) {
    // Under the server's mutex, like the heartbeat route and the watchdog that also write the entry.
    setFreeState(true);
    std::cout << "[Lumra port " << core_.port() << "] Manually set to free\n" << std::flush;
    res.status = control_->reopen() ? 200 : 500;
}

void LumraHttpServer::getComPort(const Request&, Response& res) {
    const std::optional<std::string> port = control_->getComPort();
    if (!port) {
        res.status = 503;
        return;
    }
    ClaimedHttpServer::replyJson(res, *port);
}

void LumraHttpServer::getType(const Request&, Response& res) {
    const std::optional<lym::LumraType> type = control_->getType();
    if (!type) {
        res.status = 503;
        return;
    }
    ClaimedHttpServer::replyJson(res, *type);
}

void LumraHttpServer::getDescription(const Request&, Response& res) {
    const std::optional<lym::LumraDescription> description = control_->getDescription();
    if (!description) {
        res.status = 503;
        return;
    }
    ClaimedHttpServer::replyJson(res, *description);
}

void LumraHttpServer::getConfiguration(const Request&, Response& res) {
    const std::optional<lym::LumraConfiguration> config = control_->getConfiguration();
    if (!config) {
        res.status = 503;
        return;
    }
    ClaimedHttpServer::replyJson(res, *config);
}

void LumraHttpServer::setConfiguration(const Request& req, Response& res) {
    const nlohmann::json body = request_json::parse(req.body);
    // A missing key, or a body that is no object, leaves its list empty; the device's checks then
    // reject the lengths. Each value is converted where it stands, so a wrong kind fails at once.
    lym::LumraConfiguration config;
    if (body.is_object()) {
        if (const auto it = body.find("intensities"); it != body.end()) it->get_to(config.intensities);
        if (const auto it = body.find("on_states"); it != body.end()) it->get_to(config.on_states);
    }
    res.status = control_->setConfiguration(config) ? 200 : 503;
}

void LumraHttpServer::defaultConfiguration(const Request&, Response& res) {
    res.status = control_->defaultConfiguration() ? 200 : 503;
    // The configuration goes out whenever it can be read, so a client sees the state after a failure too.
    if (const std::optional<lym::LumraConfiguration> config = control_->getConfiguration())
        ClaimedHttpServer::replyJson(res, *config);
}

void LumraHttpServer::switchOff(const Request&, Response& res) { res.status = control_->switchOff() ? 200 : 500; }

void LumraHttpServer::switchOn(const Request&, Response& res) { res.status = control_->switchOn() ? 200 : 500; }

void LumraHttpServer::executeCommand(const Request& req, Response& res) {
    if (!req.has_param("command")) {
        res.status = 400;
        return;
    }
    const std::string command = textParameter(req, "command");
    const std::string value = req.has_param("in_val") ? textParameter(req, "in_val") : std::string();
    const std::optional<std::string> answer = control_->executeCommand(command, value);
    if (!answer) {
        res.status = 503;
        return;
    }
    ClaimedHttpServer::replyJson(res, *answer);
}

void LumraHttpServer::getVersions(const Request& req, Response& res) {
    const std::string library = req.has_param("library") ? textParameter(req, "library") : std::string();
    const std::optional<std::string> versions = control_->getVersions(library);
    if (!versions) {
        res.status = 503;
        return;
    }
    ClaimedHttpServer::replyJson(res, *versions);
}

void LumraHttpServer::registerEndpoints() {
    core_.registerClaimRoutes();  // /v1/info, /v1/heartbeat
    using S = LumraHttpServer;
    core_.post("/v1/setFree", route(&S::setFree));
    core_.get("/v1/getComPort", route(&S::getComPort));
    core_.get("/v1/getType", route(&S::getType));
    core_.get("/v1/getDescription", route(&S::getDescription));
    core_.get("/v1/getConfiguration", route(&S::getConfiguration));
    core_.post("/v1/setConfiguration", route(&S::setConfiguration));
    core_.post("/v1/defaultConfiguration", route(&S::defaultConfiguration));
    core_.post("/v1/switchOff", route(&S::switchOff));
    core_.post("/v1/switchOn", route(&S::switchOn));
    core_.post("/v1/executeCommand", route(&S::executeCommand));
    core_.get("/v1/getVersions", route(&S::getVersions));
    registerConsole(core_, "lumra.html");
}
