#pragma once

#include <cstdint>
#include <string>

#include <httplib.h>

#include "discovery/dispatcher.h"
#include "lightsource/lumra_control.h"
#include "server/claimed_http_server.h"
#include "server/server_settings.h"

/// One light source's HTTP/JSON server: 13 routes under /v1/, its discovery entry (type "lumra") and
/// the advisory claim by heartbeats. Handlers drive the light source through the facade and never let
/// an exception out.
class LumraHttpServer {
public:
    /// Registers the routes and publishes the entry; starts no thread.
    LumraHttpServer(LumraControl* control, Dispatcher* dispatcher, const std::string& address, uint16_t port,
                    const ServerSettings& settings = {});
    /// Stops the watchdog and the listener.
    ~LumraHttpServer();
    LumraHttpServer(const LumraHttpServer&) = delete;
    LumraHttpServer& operator=(const LumraHttpServer&) = delete;

    /// Starts the listen thread and the heartbeat watchdog.
    void start();
    /// Stops the watchdog, then the listener, each with its console line.
    void stop();
    /// Ends request handling at once, without the console lines (used before the light source is released).
    void stopServing();

    /// Marks the light source free or claimed and publishes the entry.
    void setFreeState(bool free);

private:
    void registerEndpoints();

    // Route handlers, named as the routes. /v1/info and /v1/heartbeat are the shared server's.
    using Request = httplib::Request;
    using Response = httplib::Response;
    void setFree(const Request& req, Response& res);
    void getComPort(const Request& req, Response& res);
    void getType(const Request& req, Response& res);
    void getDescription(const Request& req, Response& res);
    void getConfiguration(const Request& req, Response& res);
    void setConfiguration(const Request& req, Response& res);
    void defaultConfiguration(const Request& req, Response& res);
    void switchOff(const Request& req, Response& res);
    void switchOn(const Request& req, Response& res);
    void executeCommand(const Request& req, Response& res);
    void getVersions(const Request& req, Response& res);

    // The common frame: runs the handler and answers 500 with no body for any exception it lets out.
    using Handler = void (LumraHttpServer::*)(const httplib::Request&, httplib::Response&);
    httplib::Server::Handler route(Handler handler);

    LumraControl* control_;
    ClaimedHttpServer core_;
};
