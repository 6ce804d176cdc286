#pragma once

// What every device server shares: an HTTP listener on its own port, the discovery entry it
// publishes, the advisory claim by heartbeats with its watchdog, and an orderly start and stop.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "discovery/discovery_entry.h"
#include "discovery/dispatcher.h"
#include "server/http_listener.h"

/// Console texts that tell the device servers apart.
struct ServerConsoleTags {
    std::string port_tag;  // "[Cam port " or "[Lumra on port ": listening and time-out lines
    std::string stop_tag;  // "\n[SERVER: " or "\n[LR-SERVER: ": stop lines
};

class ClaimedHttpServer {
public:
    /// Creates the listener (not yet listening on `bind_address`) and publishes `entry` with the dispatcher.
    ClaimedHttpServer(Dispatcher* dispatcher, std::string address, uint16_t port, DiscoveryEntry entry,
                      ServerConsoleTags tags, std::string bind_address = "0.0.0.0");
    /// Stops the watchdog and the listener.
    ~ClaimedHttpServer();
    ClaimedHttpServer(const ClaimedHttpServer&) = delete;
    ClaimedHttpServer& operator=(const ClaimedHttpServer&) = delete;

    HttpListener& http() { return http_; }
    uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }

    /// Starts the listen thread and the heartbeat watchdog; returns once the port is bound (or
    /// could not be bound), so that a started server answers at once.
    void start();
    /// Stops the watchdog, then the listener, printing one line after each; a second call does nothing.
    void stop();
    /// Ends request handling now (listener and open connections) without printing; stop() completes it.
    void stopServing();

    /// Sets the entry's free flag and change time and publishes it (under the server's mutex, which
    /// guards the heartbeat time and the claim fields; the dispatcher's mutex is taken inside it).
    void setFreeState(bool free);
    /// Records a heartbeat now and claims the device; takes the mutex.
    void heartbeat();
    /// A copy of the entry; takes the mutex.
    DiscoveryEntry entry();

    /// Installs GET /v1/info and POST /v1/heartbeat.
    void registerClaimRoutes();
    /// Registers a GET route (answering HEAD too); requests are dispatched by exact path.
    void get(const std::string& path, httplib::Server::Handler handler);
    /// Registers a POST or PUT route; such routes also answer requests that carry no body and no
    /// Content-Length (a bodyless request has an empty body, which this HTTP library would refuse).
    void post(const std::string& path, httplib::Server::Handler handler);
    void put(const std::string& path, httplib::Server::Handler handler);

    /// Names the reply headers that pages of other origins may read; every answer allows any origin.
    /// Call before start().
    void exposeHeaders(const std::vector<std::string>& names);

    /// Writes a JSON document as the compact reply body with content type "application/json".
    static void replyJson(httplib::Response& res, const nlohmann::json& document);

    /// The common handler frame: any exception the member handler lets out (malformed JSON, wrong
    /// kinds, missing keys, anything unexpected) is answered 500 with an empty body.
    template <class Owner>
    static httplib::Server::Handler guarded(Owner* owner,
                                            void (Owner::*handler)(const httplib::Request&, httplib::Response&)) {
        return [owner, handler](const httplib::Request& req, httplib::Response& res) {
            try {
                (owner->*handler)(req, res);
            } catch (...) {
                res = httplib::Response{};
                res.status = 500;
            }
        };
    }

private:
    void listenLoop();
    void heartbeatLoop();
    void setFreeStateLocked(bool free);
    httplib::Server::HandlerResponse routeExact(const httplib::Request& req, httplib::Response& res);
    httplib::Server::HandlerResponse answerPreflight(const httplib::Request& req, httplib::Response& res);
    void addCorsHeaders(httplib::Response& res) const;

    std::string address_;
    std::string bind_address_;
    uint16_t port_;
    Dispatcher* dispatcher_;
    DiscoveryEntry entry_;
    ServerConsoleTags tags_;
    HttpListener http_;
    std::thread listen_thread_;
    std::thread heartbeat_thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> listen_done_{false};
    bool bind_attempted_ = false;  // guarded by wake_mutex_
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_heartbeat_;
    const int64_t heartbeat_timeout_s_ = 5;
    std::condition_variable wake_;
    std::mutex wake_mutex_;
    bool stopped_ = false;
    // Orders (method, path) keys, and looks them up without copying the request's strings.
    struct RouteKeyLess {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            return std::pair<std::string_view, std::string_view>(a.first, a.second) <
                   std::pair<std::string_view, std::string_view>(b.first, b.second);
        }
    };
    // Routes answered before the library's own routing: (method, path) to handler.
    std::map<std::pair<std::string, std::string>, httplib::Server::Handler, RouteKeyLess> exact_;
    std::string exposed_headers_;  // Access-Control-Expose-Headers of every answer
};
