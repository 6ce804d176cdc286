#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>

#include "discovery/dispatcher.h"
#include "camera/image.h"
#include "server/camera_control.h"
#include "server/claimed_http_server.h"
#include "server/image_pool.h"
#include "server/live_stream.h"
#include "server/server_settings.h"

/// One camera's HTTP/JSON server: the 49 routes under /v1/, its discovery entry and the advisory
/// claim by heartbeats. Handlers drive the camera through the facade and never let an exception out.
class CameraHttpServer {
public:
    /// Registers the routes and publishes the entry; starts no thread.
    CameraHttpServer(CameraControl* control, Dispatcher* dispatcher, const std::string& address, uint16_t port,
                     ServerSettings settings = {});
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

    // Route handlers, named as the routes. The claim routes /v1/info and /v1/heartbeat are the
    // shared server's; setFree is here because it reopens the camera.
    using Request = httplib::Request;
    using Response = httplib::Response;
    void setFree(const Request& req, Response& res);

    // Identity, state and settings (routes_settings.cpp).
    void uploadLut(const Request& req, Response& res);
    void getName(const Request& req, Response& res);
    void getRawFormat(const Request& req, Response& res);
    void getSerial(const Request& req, Response& res);
    void getInterface(const Request& req, Response& res);
    void isColored(const Request& req, Response& res);
    void getDescription(const Request& req, Response& res);
    void defaultConfiguration(const Request& req, Response& res);
    void getConfiguration(const Request& req, Response& res);
    void setConfiguration(const Request& req, Response& res);
    void getExposureTime(const Request& req, Response& res);
    void setExposureTime(const Request& req, Response& res);
    void getDelayTime(const Request& req, Response& res);
    void setDelayTime(const Request& req, Response& res);
    void autoExposureOn(const Request& req, Response& res);
    void autoExposureOff(const Request& req, Response& res);
    void configureAutoExposure(const Request& req, Response& res);
    void getConvertControl(const Request& req, Response& res);
    void setConvertControl(const Request& req, Response& res);
    void configureHWIO_1_exposureTrigger(const Request& req, Response& res);
    void configureHWIO_2_acquireEnable(const Request& req, Response& res);
    void configureHWIO_3_statusBusy(const Request& req, Response& res);
    void configureHWIO_4_statusExpos(const Request& req, Response& res);
    void loadLut(const Request& req, Response& res);
    void adaptWhiteBalance(const Request& req, Response& res);
    void getSensorInfo(const Request& req, Response& res);
    void getQORDescription(const Request& req, Response& res);

    // Recording, images and camera RAM (routes_images.cpp).
    void isRecording(const Request& req, Response& res);
    void record(const Request& req, Response& res);
    void stopRecording(const Request& req, Response& res);
    void waitForFirstImage(const Request& req, Response& res);
    void waitForNewImage(const Request& req, Response& res);
    void getRecordedImageCount(const Request& req, Response& res);
    void getRecorderBufferSize(const Request& req, Response& res);
    void trigger(const Request& req, Response& res);
    void image(const Request& req, Response& res);
    void images(const Request& req, Response& res);
    void getImageFromImages(const Request& req, Response& res);
    void imageAverage(const Request& req, Response& res);
    void hasRam(const Request& req, Response& res);
    void switchToCamRam(const Request& req, Response& res);
    void getCamRamSegment(const Request& req, Response& res);
    void getCamRamMaxImages(const Request& req, Response& res);
    void getCamRamNumImages(const Request& req, Response& res);
    void setCamRamAllocation(const Request& req, Response& res);
    void getCamRamAllocation(const Request& req, Response& res);

    // The live view (routes_stream.cpp).
    void stream(const Request& req, Response& res);

    // The common frame: runs the handler and answers 500 for any exception it lets out.
    using Handler = void (CameraHttpServer::*)(const httplib::Request&, httplib::Response&);
    httplib::Server::Handler route(Handler handler);

    CameraControl* control_;
    const ServerSettings settings_;
    ClaimedHttpServer core_;
    std::shared_ptr<ImagePool> image_pool_ = ImagePool::create(4);  // buffers of single-image replies
    std::vector<qor::Image> images_;
    std::mutex images_mutex_;  // the image series is rebuilt and read by different requests
    std::mutex record_mutex_;  // held by the record route from its busy check until its record call returns
    LiveStream live_stream_{control_};
};
