#pragma once

// Runs the real qor-camera-server for end-to-end tests: its own working directory, a device file for
// the simulated SDK, captured standard output and error, UDP discovery and HTTP clients.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace qortest {

class ServerProcess {
public:
    /// Starts the camera server with the given device file contents (empty: the built-in device set).
    explicit ServerProcess(const std::string& device_json = "", const std::string& name = "server");
    /// Starts another executable the same way, with `args` after the program name.
    ServerProcess(const std::string& executable, const std::vector<std::string>& args, const std::string& device_json,
                  const std::string& name);
    /// Kills the process if it still runs and removes its directory.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    /// Waits until standard output holds `text` (or the process ended); true when it appeared.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Waits for the start-up to finish ("Press Ctrl-C to quit.").
    bool waitUntilReady(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitForOutput("Press Ctrl-C to quit.", timeout);
    }
    void interrupt() const;
    /// Waits for the exit status; empty when the process did not end in time.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool running();

    std::string standardOutput() const;
    std::string standardError() const;
    const std::filesystem::path& directory() const { return dir_; }
    pid_t pid() const { return pid_; }

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    std::optional<int> exit_status_;
};

/// Sends a raw discovery datagram to 127.0.0.1:50000 and returns the reply (empty when none came).
std::optional<std::string> discoverRaw(const std::string& payload,
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(700));
/// Discovery of a type, parsed; an empty array when no reply came.
nlohmann::json discover(const std::string& type = "camera");

/// Where `part` stands in `text`; a missing part is a test failure (and npos).
size_t position(const std::string& text, const std::string& part);
/// Checks that the output holds the SIGINT line and then the shutdown lines of the two default
/// camera servers, in order.
void expectShutdownLinesInOrder(const std::string& out);

/// An HTTP client to a server port on loopback.
std::unique_ptr<httplib::Client> client(uint16_t port, int timeout_s = 30);

/// One request on a new loopback connection: GET with query parameters, POST with form parameters,
/// PUT with a JSON body.
httplib::Result get(uint16_t port, const std::string& path, const httplib::Params& params = {}, int timeout_s = 30);
httplib::Result post(uint16_t port, const std::string& path, const httplib::Params& params = {}, int timeout_s = 30);
httplib::Result put(uint16_t port, const std::string& path, const std::string& body, int timeout_s = 30);

}  // namespace qortest
