#include "server/claimed_http_server.h"

#include <iostream>

namespace {

// Requests handled at once (idle and slow clients wait without a worker); enough for many long waits.
constexpr size_t kMaxWorkers = 256;
// Requests served on one keep-alive connection before it is closed. The library's default of 5 made
// every client reconnect after its fifth request (a new handshake and worker hand-over each time).
constexpr size_t kKeepAliveRequests = 100000;

// Request bodies are JSON documents and look-up tables of at most 1 MiB; anything larger is refused
// with 413 before it is held in memory.
constexpr size_t kMaxRequestBody = size_t{4} << 20;

void print(const std::string& line) { std::cout << line << std::flush; }

}  // namespace

ClaimedHttpServer::ClaimedHttpServer(Dispatcher* dispatcher, std::string address, uint16_t port, DiscoveryEntry entry,
                                     ServerConsoleTags tags, std::string bind_address)
    : address_(std::move(address)), bind_address_(std::move(bind_address)), port_(port), dispatcher_(dispatcher), entry_(std::move(entry)),
      tags_(std::move(tags)), http_(kMaxWorkers) {
    // Small replies must not wait for the peer's delayed acknowledgement.
    http_.set_tcp_nodelay(true);
    http_.set_keep_alive_max_count(kKeepAliveRequests);
    http_.set_payload_max_length(kMaxRequestBody);
    http_.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return routeExact(req, res); });
    http_.set_post_routing_handler([this](const httplib::Request&, httplib::Response& res) { addCorsHeaders(res); });
    dispatcher_->updateEntry(entry_);
    std::lock_guard lock(mutex_);
    last_heartbeat_ = std::chrono::steady_clock::now();
}

ClaimedHttpServer::~ClaimedHttpServer() { stop(); }

void ClaimedHttpServer::start() {
    if (listen_thread_.joinable()) return;
    listen_thread_ = std::thread([this] { listenLoop(); });
    running_ = true;
    heartbeat_thread_ = std::thread([this] { heartbeatLoop(); });
    std::unique_lock lock(wake_mutex_);
    wake_.wait_for(lock, std::chrono::seconds(5), [this] { return bind_attempted_; });
}

void ClaimedHttpServer::listenLoop() {
    print(tags_.port_tag + std::to_string(port_) + "] HTTP listening\n");
    // A port that cannot be bound ends the thread; the server then answers nothing.
    const bool bound = http_.bindWithBacklog(bind_address_, port_);
    {
        std::lock_guard lock(wake_mutex_);
        bind_attempted_ = true;
    }
    wake_.notify_all();
    if (bound) http_.listen_after_bind();
    listen_done_ = true;
}

void ClaimedHttpServer::heartbeatLoop() {
    while (running_) {
        {
            std::unique_lock lock(wake_mutex_);
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; });
        }
        if (!running_) break;
        std::lock_guard lock(mutex_);
        const auto idle = std::chrono::steady_clock::now() - last_heartbeat_;
        if (!entry_.free && idle > std::chrono::seconds(heartbeat_timeout_s_)) {
            print(tags_.port_tag + std::to_string(port_) + "] heartbeat timeout - set free\n");
            setFreeStateLocked(true);
        }
    }
}

void ClaimedHttpServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    {
        std::lock_guard lock(wake_mutex_);
        running_ = false;
    }
    wake_.notify_all();
    if (heartbeat_thread_.joinable()) heartbeat_thread_.join();
    print(tags_.stop_tag + std::to_string(port_) + "] Heartbeat thread stopped!\n");
    stopServing();
    if (listen_thread_.joinable()) listen_thread_.join();
    print(tags_.stop_tag + std::to_string(port_) + "] HTTP Server + Thread stopped!\n");
}

void ClaimedHttpServer::stopServing() {
    if (!listen_thread_.joinable()) return;
    // The listener ignores a stop that comes before it runs, and it waits for its connections: repeat
    // the stop and shut the connections down (those accepted meanwhile too) until the listen call has
    // returned.
    while (!listen_done_) {
        http_.stop();
        http_.shutdownConnections();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ClaimedHttpServer::setFreeState(bool free) {
    std::lock_guard lock(mutex_);
    setFreeStateLocked(free);
}

void ClaimedHttpServer::setFreeStateLocked(bool free) {
    entry_.free = free;
    entry_.changed = std::chrono::steady_clock::now();
    dispatcher_->updateEntry(entry_);
}

void ClaimedHttpServer::heartbeat() {
    std::lock_guard lock(mutex_);
    last_heartbeat_ = std::chrono::steady_clock::now();
    setFreeStateLocked(false);
}

DiscoveryEntry ClaimedHttpServer::entry() {
    std::lock_guard lock(mutex_);
    return entry_;
}

void ClaimedHttpServer::replyJson(httplib::Response& res, const nlohmann::json& document) {
    res.set_content(document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void ClaimedHttpServer::registerClaimRoutes() {
    get("/v1/info", [this](const httplib::Request&, httplib::Response& res) {
        try {
            replyJson(res, nlohmann::json(entry()));
        } catch (...) {
            res.status = 500;
        }
    });
    post("/v1/heartbeat", [this](const httplib::Request&, httplib::Response& res) {
        try {
            heartbeat();
            replyJson(res, nlohmann::json{{"ok", "ok"}});
        } catch (...) {
            res.status = 500;
        }
    });
}

void ClaimedHttpServer::get(const std::string& path, httplib::Server::Handler handler) {
    exact_[{"GET", path}] = handler;
    exact_[{"HEAD", path}] = handler;
    http_.Get(path, std::move(handler));
}

void ClaimedHttpServer::post(const std::string& path, httplib::Server::Handler handler) {
    exact_[{"POST", path}] = handler;
    http_.Post(path, std::move(handler));
}

void ClaimedHttpServer::put(const std::string& path, httplib::Server::Handler handler) {
    exact_[{"PUT", path}] = handler;
    http_.Put(path, std::move(handler));
}

// Every route is an exact path, so requests without a body are dispatched here by a map look-up
// instead of the library's list of regular expressions. Requests that carry a body (Content-Length
// or chunked) go on to the library, which reads the body first. A POST or PUT without either has
// no body: the library would wait for one until the connection closes and then answer 400.
httplib::Server::HandlerResponse ClaimedHttpServer::routeExact(const httplib::Request& req, httplib::Response& res) {
    if (req.method == "OPTIONS") return answerPreflight(req, res);
    const bool has_body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
    const bool reads_body = req.method == "POST" || req.method == "PUT";
    if (has_body && reads_body) return httplib::Server::HandlerResponse::Unhandled;
    auto it = exact_.find(std::pair<std::string_view, std::string_view>(req.method, req.path));
    if (it == exact_.end()) {
        if (!reads_body) return httplib::Server::HandlerResponse::Unhandled;  // the library answers 404
        res.status = 404;
        return httplib::Server::HandlerResponse::Handled;
    }
    it->second(req, res);
    return httplib::Server::HandlerResponse::Handled;
}

void ClaimedHttpServer::exposeHeaders(const std::vector<std::string>& names) {
    exposed_headers_.clear();
    for (const std::string& name : names) exposed_headers_ += (exposed_headers_.empty() ? "" : ", ") + name;
}

void ClaimedHttpServer::addCorsHeaders(httplib::Response& res) const {
    // Any page may drive a device and read its reply headers, wherever the page was loaded from.
    if (!res.has_header("Access-Control-Allow-Origin")) res.set_header("Access-Control-Allow-Origin", "*");
    if (!exposed_headers_.empty() && !res.has_header("Access-Control-Expose-Headers"))
        res.set_header("Access-Control-Expose-Headers", exposed_headers_);
}

// A browser asks before a cross-origin request that is not "simple" (a PUT, a JSON body, an Accept
// header it sets itself). Every registered path answers with its own methods.
httplib::Server::HandlerResponse ClaimedHttpServer::answerPreflight(const httplib::Request& req,
                                                                   httplib::Response& res) {
    std::string methods;
    for (const auto& [key, handler] : exact_)
        if (key.second == req.path) methods += key.first + ", ";
    if (methods.empty()) {
        res.status = 404;
        return httplib::Server::HandlerResponse::Handled;
    }
    std::string headers = "Accept, Content-Type";
    if (req.has_header("Access-Control-Request-Headers"))
        headers += ", " + req.get_header_value("Access-Control-Request-Headers");
    res.status = 204;
    res.set_header("Allow", methods + "OPTIONS");
    res.set_header("Access-Control-Allow-Methods", methods + "OPTIONS");
    res.set_header("Access-Control-Allow-Headers", headers);
    res.set_header("Access-Control-Max-Age", "600");
    return httplib::Server::HandlerResponse::Handled;
}
