// qor-lumra-test-server: serves the first free light source over HTTP (port 8090, or the port given as
// the first argument) with UDP discovery on port 50000, until Ctrl-C. The service itself starts no
// light-source server; the end-to-end tests drive this one.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "discovery/dispatcher.h"
#include "app/local_address.h"
#include "camera/vendor/qor_camsys.h"
#include "lightsource/lumra_control.h"
#include "lightsource/lumra_http_server.h"

namespace {

constexpr uint16_t kDiscoveryPort = 50000;
constexpr uint16_t kDefaultHttpPort = 8090;

std::atomic<bool> running{true};

void onSigint(int) {
    static const char kLine[] = "\n[LUMRA-TEST] SIGINT received - stopping...\n";
    ssize_t written = ::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    (void)written;
    running.store(false);
}

void print(const std::string& line) { std::cout << line << std::flush; }

uint16_t portArgument(int argc, char** argv) {
    if (argc < 2) return kDefaultHttpPort;
    const unsigned long port = std::stoul(argv[1]);
    if (port == 0 || port > 65535) throw std::out_of_range("port");
    return static_cast<uint16_t>(port);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSigint);
    std::unique_ptr<Dispatcher> dispatcher;
    std::unique_ptr<LumraControl> control;
    std::unique_ptr<LumraHttpServer> server;
    try {
        const uint16_t port = portArgument(argc, argv);
        // The light-source errors take their texts from the camera SDK.
        const int32_t status = QOR_InitializeLib();
        if (status != 0) throw std::runtime_error("QOR_InitializeLib failed: " + std::to_string(status));
        dispatcher = std::make_unique<Dispatcher>(kDiscoveryPort);
        dispatcher->start();
        control = std::make_unique<LumraControl>(lym::LumraType::Any, "");
        server = std::make_unique<LumraHttpServer>(control.get(), dispatcher.get(), localAddress(), port);
        server->start();
        print("[LUMRA-TEST] Light-source server on port " + std::to_string(port) + " ready. Press Ctrl-C to quit.\n");

        while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(200));

        // No request may reach the light source once it is released; the server prints its stop
        // lines when it is destroyed afterwards.
        dispatcher->stop();
        server->stopServing();
        control.reset();
        server.reset();
        dispatcher.reset();
        QOR_CleanupLib();
        print("[LUMRA-TEST] Stopped.\n");
        return 0;
    } catch (const std::exception& e) {
        if (server) server->stopServing();
        server.reset();
        control.reset();
        dispatcher.reset();
        std::cerr << "[LUMRA-TEST] Fatal Error: " << e.what() << "\n" << std::flush;
        QOR_CleanupLib();
        return 1;
    }
}
