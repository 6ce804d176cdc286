#include "app/service.h"

#include <chrono>
#include <exception>
#include <functional>
#include <iostream>
#include <optional>

#include "app/bounded_steps.h"

namespace {

// Shutdown steps may take this long together; a stuck device is left behind after it, and each later
// step still gets the grace time, so that the whole stop stays well within three seconds.
constexpr auto kShutdownBudget = std::chrono::milliseconds(1500);
constexpr auto kStepGrace = std::chrono::milliseconds(250);

void print(const std::string& line) { std::cout << line << std::flush; }

// Destroys the owned objects of a list in order, each within the time limit; an object that is
// stuck (or whose device was found stuck before) is released from the list and kept alive.
template <class T>
void destroyInOrder(std::vector<std::unique_ptr<T>>& list, const std::vector<bool>& healthy, BoundedSteps& steps) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        T* object = list[i].release();
        if (healthy[i]) steps.run([object] { delete object; });
    }
    list.clear();
}

}  // namespace

std::uint16_t openCameras(Devices& devices, Dispatcher& dispatcher, const std::string& address,
                          std::uint16_t first_port, const ServerSettings& settings) {
    uint16_t next_port = first_port;
    for (;;) {
        std::unique_ptr<CameraControl> control;
        std::unique_ptr<CameraHttpServer> server;
        try {
            control = std::make_unique<CameraControl>(-1, -1);
            std::optional<uint32_t> serial = control->getSerial();
            if (!serial) return next_port;
            print("[MAIN] Found camera SN " + std::to_string(*serial) + "\n");
            server = std::make_unique<CameraHttpServer>(control.get(), &dispatcher, address, next_port, settings);
            control->defaultConfiguration();
            server->start();
            devices.cameras.push_back(std::move(control));
            devices.camera_servers.push_back(std::move(server));
            ++next_port;
        } catch (...) {
            server.reset();
            control.reset();
            std::cerr << "[MAIN] More cameras found . . . i have not!\n" << std::flush;
            return next_port;
        }
    }
}

void openLightSources(Devices& devices, Dispatcher& dispatcher, const std::string& address, std::uint16_t first_port,
                      const ServerSettings& settings) {
    uint16_t next_port = first_port;
    for (;;) {
        std::unique_ptr<LumraControl> control;
        std::unique_ptr<LumraHttpServer> server;
        try {
            // The facade reports on standard error why no further light source opened.
            control = std::make_unique<LumraControl>(lym::LumraType::Any, "");
            if (!control->isOpen()) return;
            const std::optional<lym::LumraDescription> description = control->getDescription();
            print("[MAIN] Found light source SN " + (description ? std::to_string(description->serial) : "?") + "\n");
            server = std::make_unique<LumraHttpServer>(control.get(), &dispatcher, address, next_port, settings);
            server->start();
            devices.light_sources.push_back(std::move(control));
            devices.light_source_servers.push_back(std::move(server));
            ++next_port;
        } catch (const std::exception& e) {
            // The facade switches the light source off when it is destroyed.
            server.reset();
            control.reset();
            std::cerr << "[MAIN] Light source not served: " << e.what() << "\n" << std::flush;
            return;
        }
    }
}

bool shutDown(Devices& devices, std::unique_ptr<Dispatcher>& dispatcher) {
    print("\n[MAIN] Shutting down...\n");
    dispatcher->stop();
    print("\n[MAIN] Dispatcher stopped.\n");

    BoundedSteps steps(BoundedSteps::Clock::now() + kShutdownBudget, kStepGrace);
    // Request handling ends before any device is released, so no request can reach a released device.
    // A server whose handler is stuck in a vendor call never finishes this: its device is left alone.
    std::vector<std::function<void()>> stop_serving;
    for (std::size_t i = 0; i < devices.cameras.size(); ++i) {
        CameraControl* camera = devices.cameras[i].get();
        CameraHttpServer* server = devices.camera_servers[i].get();
        stop_serving.push_back([camera, server] {
            camera->interrupt();
            server->stopServing();
        });
    }
    for (auto& server : devices.light_source_servers)
        stop_serving.push_back([server = server.get()] { server->stopServing(); });
    std::vector<bool> served_out = steps.runTogether(std::move(stop_serving));
    const std::vector<bool> cameras_healthy(served_out.begin(), served_out.begin() + devices.cameras.size());
    const std::vector<bool> lights_healthy(served_out.begin() + devices.cameras.size(), served_out.end());

    // The servers print their own lines when they are destroyed.
    const bool with_light_sources = !devices.light_sources.empty();
    destroyInOrder(devices.cameras, cameras_healthy, steps);
    print("\n[MAIN] Cameras released.\n");
    if (with_light_sources) {
        destroyInOrder(devices.light_sources, lights_healthy, steps);
        print("\n[MAIN] Light sources released.\n");
    }
    destroyInOrder(devices.camera_servers, cameras_healthy, steps);
    print("\n[MAIN] Cam servers stopped.\n");
    if (with_light_sources) {
        destroyInOrder(devices.light_source_servers, lights_healthy, steps);
        print("\n[MAIN] Light-source servers stopped.\n");
    }
    if (steps.abandoned()) {
        // A server left running may still publish its entry: the dispatcher must outlive it.
        (void)dispatcher.release();
        return false;
    }
    dispatcher.reset();
    return true;
}

void tearDown(Devices& devices) {
    for (auto& camera : devices.cameras) camera->interrupt();
    for (auto& server : devices.camera_servers) server->stopServing();
    for (auto& server : devices.light_source_servers) server->stopServing();
    devices.camera_servers.clear();
    devices.cameras.clear();
    devices.light_source_servers.clear();
    devices.light_sources.clear();
}
