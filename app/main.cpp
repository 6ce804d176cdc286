// Process entry: reads the options, brings up discovery and one HTTP server per camera (and per light
// source when asked), waits for a stop signal, and shuts everything down in order.
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "app/local_address.h"
#include "app/options.h"
#include "app/service.h"
#include "app/service_notifier.h"
#include "app/stop_signals.h"
#include "camera/camera_exception.h"
#include "camera/vendor/qor_camsys.h"

namespace {

void print(const std::string& line) { std::cout << line << std::flush; }

int serve(const ServiceOptions& options) {
    Devices devices;
    std::unique_ptr<Dispatcher> dispatcher;
    ServiceNotifier notifier;
    try {
        int32_t status = QOR_InitializeLib();
        if (status != 0) throw qor::CameraException(status);
        dispatcher = std::make_unique<Dispatcher>(options.discovery_port);
        dispatcher->start();
        print("[MAIN] UDP dispatcher started on port " + std::to_string(options.discovery_port) + "\n");
        const std::string address = options.advertise ? *options.advertise : localAddress();

        const uint16_t next_port = openCameras(devices, *dispatcher, address, options.http_port, options.server);
        if (options.light_sources) openLightSources(devices, *dispatcher, address, next_port, options.server);
        if (devices.empty()) {
            std::cerr << "\n[MAIN] Cameras not found . . . i have!\n" << std::flush;
            dispatcher->stop();
            QOR_CleanupLib();
            dispatcher.reset();
            return 1;
        }
        print("[MAIN] " + std::to_string(devices.camera_servers.size()) + " camera servers up and running.\n");
        if (options.light_sources)
            print("[MAIN] " + std::to_string(devices.light_source_servers.size()) +
                  " light-source servers up and running.\n");
        print("[MAIN] Press Ctrl-C to quit.\n");
        notifier.ready(devices.camera_servers.size(), devices.light_source_servers.size());

        while (!stopRequested()) {
            notifier.keepAlive();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }

        notifier.stopping();
        if (!shutDown(devices, dispatcher)) {
            // A device call never returned: the SDK cannot be shut down under it, and the process
            // ends without waiting for it (the system releases what the device held).
            std::cerr << "[MAIN] A device did not answer within the shutdown time - leaving it.\n" << std::flush;
            std::cout << std::flush;
            std::_Exit(0);
        }
        QOR_CleanupLib();
        return 0;
    } catch (const std::exception& e) {
        // A fatal error must not look like success to a supervisor: exit status 1.
        tearDown(devices);
        dispatcher.reset();
        std::cerr << "[MAIN] Fatal Error: " << e.what() << "\n" << std::flush;
        QOR_CleanupLib();
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseOptions(argc, argv, std::cout, std::cerr);
    if (!parsed.options) return parsed.exit_status;
    installStopSignals();
    // Image buffers of several MiB come and go with every download: a fixed mmap threshold hands
    // them straight back to the system instead of letting the heap grow with each new peak.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    return serve(*parsed.options);
}
