#pragma once

// The devices the process serves and their ordered start and stop.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "discovery/dispatcher.h"
#include "lightsource/lumra_control.h"
#include "lightsource/lumra_http_server.h"
#include "server/camera_control.h"
#include "server/camera_http_server.h"

/// One facade per opened device and one server per facade, in opening order; the i-th server drives
/// the i-th facade.
struct Devices {
    std::vector<std::unique_ptr<CameraControl>> cameras;
    std::vector<std::unique_ptr<CameraHttpServer>> camera_servers;
    std::vector<std::unique_ptr<LumraControl>> light_sources;
    std::vector<std::unique_ptr<LumraHttpServer>> light_source_servers;

    bool empty() const { return camera_servers.empty() && light_source_servers.empty(); }
};

/// Opens every camera the SDK can still open, each with a started server on the next port from
/// `first_port` on; ends at the first failure with the "More cameras found" line on standard error.
/// Returns the port after the last one used. Does not throw.
std::uint16_t openCameras(Devices& devices, Dispatcher& dispatcher, const std::string& address,
                          std::uint16_t first_port, const ServerSettings& settings);

/// Opens every light source that is not in use, each with a started server on the next port from
/// `first_port` on, until none is left or a server cannot be made. Does not throw.
void openLightSources(Devices& devices, Dispatcher& dispatcher, const std::string& address, std::uint16_t first_port,
                      const ServerSettings& settings);

/// Stops discovery, ends request handling, releases every device (a light source is switched off)
/// and stops the servers, printing a line after each step. A device whose last call does not return
/// within the time limit is left as it is: its facade, server and the dispatcher are then kept alive.
/// Returns false in that case, and the caller must end the process without the normal clean-up.
bool shutDown(Devices& devices, std::unique_ptr<Dispatcher>& dispatcher);

/// Ends request handling and destroys everything built so far, without time limit or console lines:
/// the clean-up of a failed start-up.
void tearDown(Devices& devices);
