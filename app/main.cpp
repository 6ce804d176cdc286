// Process entry: brings up discovery and one HTTP server per camera, waits for Ctrl-C, and shuts
// everything down in order.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/dispatcher.h"
#include "app/local_address.h"
#include "camera/camera_exception.h"
#include "camera/vendor/qor_camsys.h"
#include "server/camera_control.h"
#include "server/camera_http_server.h"

namespace {

constexpr uint16_t kDiscoveryPort = 50000;
constexpr uint16_t kFirstHttpPort = 8080;

std::atomic<bool> running{true};

void onSigint(int) {
    static const char kLine[] = "\n[Main] SIGINT received - stopping servers...\n";
    ssize_t written = ::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    (void)written;
    running.store(false);
}

void print(const std::string& line) { std::cout << line << std::flush; }

struct Service {
    std::vector<std::unique_ptr<CameraControl>> cameras;
    std::vector<std::unique_ptr<CameraHttpServer>> servers;
};

void openCameras(Service& service, Dispatcher& dispatcher, const std::string& address) {
    uint16_t next_port = kFirstHttpPort;
    for (;;) {
        std::unique_ptr<CameraControl> control;
        std::unique_ptr<CameraHttpServer> server;
        try {
            control = std::make_unique<CameraControl>(-1, -1);
            std::optional<uint32_t> serial = control->getSerial();
            if (!serial) return;
            print("[MAIN] Found camera SN " + std::to_string(*serial) + "\n");
            server = std::make_unique<CameraHttpServer>(control.get(), &dispatcher, address, next_port);
            control->defaultConfiguration();
            server->start();
            service.cameras.push_back(std::move(control));
            service.servers.push_back(std::move(server));
            ++next_port;
        } catch (...) {
            server.reset();
            control.reset();
            std::cerr << "[MAIN] More cameras found . . . i have not!\n" << std::flush;
            return;
        }
    }
}

// Stops request handling before the cameras are released, so no request can reach a released
// camera; the servers print their own lines when they are destroyed afterwards.
void shutDown(Service& service, Dispatcher& dispatcher) {
    print("\n[MAIN] Shutting down...\n");
    dispatcher.stop();
    print("\n[MAIN] Dispatcher stopped.\n");
    for (auto& camera : service.cameras) camera->interrupt();
    for (auto& server : service.servers) server->stopServing();
    service.cameras.clear();
    print("\n[MAIN] Cameras released.\n");
    service.servers.clear();
    print("\n[MAIN] Cam servers stopped.\n");
}

}  // namespace

int main() {
    std::signal(SIGINT, onSigint);
    // Image buffers of several MiB come and go with every download: a fixed mmap threshold hands
    // them straight back to the system instead of letting the heap grow with each new peak.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    Service service;
    std::unique_ptr<Dispatcher> dispatcher;
    try {
        int32_t status = QOR_InitializeLib();
        if (status != 0) throw qor::CameraException(status);
        dispatcher = std::make_unique<Dispatcher>(kDiscoveryPort);
        dispatcher->start();
        print("[MAIN] UDP dispatcher started on port " + std::to_string(kDiscoveryPort) + "\n");
        const std::string address = localAddress();

        openCameras(service, *dispatcher, address);
        if (service.servers.empty()) {
            std::cerr << "\n[MAIN] Cameras not found . . . i have!\n" << std::flush;
            dispatcher->stop();
            QOR_CleanupLib();
            dispatcher.reset();
            return 1;
        }
        print("[MAIN] " + std::to_string(service.servers.size()) + " camera servers up and running.\n");
        print("[MAIN] Press Ctrl-C to quit.\n");

        while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(200));

        shutDown(service, *dispatcher);
        dispatcher.reset();
        QOR_CleanupLib();
        return 0;
    } catch (const std::exception& e) {
        // A fatal error must not look like success to a supervisor: exit status 1.
        for (auto& camera : service.cameras) camera->interrupt();
        for (auto& server : service.servers) server->stopServing();
        service.servers.clear();
        service.cameras.clear();
        dispatcher.reset();
        std::cerr << "[MAIN] Fatal Error: " << e.what() << "\n" << std::flush;
        QOR_CleanupLib();
        return 1;
    }
}
