#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>

#include "app/dispatcher.h"
#include "camera/image.h"
#include "server/camera_control.h"
#include "server/claimed_http_server.h"

/// One camera's HTTP/JSON server: the 49 routes under /v1/, its discovery entry and the advisory
/// claim by heartbeats. Handlers drive the camera through the facade and never let an exception out.
class CameraHttpServer {
public:
    /// Registers the routes and publishes the entry; starts no thread.
    CameraHttpServer(CameraControl* control, Dispatcher* dispatcher, const std::string& address, uint16_t port);
    /// Stops the watchdog and the listener.
    ~CameraHttpServer();
    CameraHttpServer(const CameraHttpServer&) = delete;
    CameraHttpServer& operator=(const CameraHttpServer&) = delete;

    /// Starts the listen thread and the heartbeat watchdog.
    void start();
    /// Stops the watchdog, then the listener, each with its console line.
    void stop();
    /// Ends request handling at once, without the console lines (used before the camera is released).
    void stopServing();

    /// Marks the camera free or claimed and publishes the entry.
    void setFreeState(bool free);
    /// Answers 503 with the facade's last error ({"code","where"}), or code -1 and "Unknown Error!".
    void sendErrorReply(httplib::Response& res);

private:
    void registerEndpoints();

    // Routes of the claim and the server itself.
    void setFree(const httplib::Request& req, httplib::Response& res);

    // The common frame: runs the handler and answers 500 for any exception it lets out.
    using Handler = void (CameraHttpServer::*)(const httplib::Request&, httplib::Response&);
    httplib::Server::Handler route(Handler handler);

    CameraControl* control_;
    ClaimedHttpServer core_;
    std::vector<qor::Image> images_;
    std::mutex images_mutex_;  // the image series is rebuilt and read by different requests
};
