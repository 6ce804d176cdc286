#include "discovery/dispatcher.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace {

constexpr std::size_t kBufferSize = 512;  // one byte is kept for the terminating NUL
constexpr suseconds_t kReceiveTimeoutUs = 300000;

// Returns the type filter of a valid discovery request, or nothing when the datagram is to be
// dropped: not strict JSON, not an object, "action" not "discover", "type" missing or not text.
std::optional<std::string> requestedType(std::string_view text)
{
    const nlohmann::json request = nlohmann::json::parse(text, nullptr, false);
    if (!request.is_object()) {
        return std::nullopt;
    }
    const auto action = request.find("action");
    if (action == request.end() || !action->is_string() || *action != "discover") {
        return std::nullopt;
    }
    const auto type = request.find("type");
    if (type == request.end() || !type->is_string()) {
        return std::nullopt;
    }
    return type->get<std::string>();
}

bool sameServer(const DiscoveryEntry& entry, std::uint16_t port, const std::string& ip)
{
    return entry.port == port && entry.ip == ip;
}

}  // namespace

Dispatcher::Dispatcher(std::uint16_t port) : port_(port)
{
    socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket_ < 0) {
        throw std::runtime_error("socket()");
    }
    const int one = 1;
    const timeval timeout{0, kReceiveTimeoutUs};
    (void)::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    (void)::setsockopt(socket_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    (void)::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port_);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket_);
        socket_ = -1;
        throw std::runtime_error("bind()");
    }
}

Dispatcher::~Dispatcher()
{
    stop();
}

void Dispatcher::start()
{
    // A closed socket would make the receive loop spin on errors.
    if (socket_ < 0 || running_.exchange(true)) {
        return;
    }
    thread_ = std::thread(&Dispatcher::run, this);
    std::cout << "[Dispatcher] UDP listening on " << port_ << '\n' << std::flush;
}

void Dispatcher::stop()
{
    running_.store(false);
    // Join before closing: the thread notices the flag after its receive time-out, and the
    // descriptor must not be closed (and possibly reused) while it is still reading from it.
    if (thread_.joinable()) {
        thread_.join();
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

void Dispatcher::updateEntry(const DiscoveryEntry& entry)
{
    const std::lock_guard lock(mutex_);
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const DiscoveryEntry& e) {
        return sameServer(e, entry.port, entry.ip);
    });
    if (it != entries_.end()) {
        *it = entry;
    } else {
        entries_.push_back(entry);
    }
}

void Dispatcher::removeEntry(std::uint16_t port, const std::string& ip)
{
    const std::lock_guard lock(mutex_);
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const DiscoveryEntry& e) {
        return sameServer(e, port, ip);
    });
    if (it != entries_.end()) {
        entries_.erase(it);
    }
}

std::vector<DiscoveryEntry> Dispatcher::entries() const
{
    const std::lock_guard lock(mutex_);
    return entries_;
}

void Dispatcher::run()
{
    char buffer[kBufferSize];
    while (running_.load()) {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t received = ::recvfrom(socket_, buffer, kBufferSize - 1, 0,
                                            reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 1) {
            continue;
        }
        buffer[received] = '\0';
        std::optional<std::string> reply;
        // Nothing a datagram carries may end the responder.
        try {
            reply = replyTo(buffer);
        } catch (const std::exception&) {
            continue;
        }
        if (reply) {
            (void)::sendto(socket_, reply->data(), reply->size(), 0,
                           reinterpret_cast<const sockaddr*>(&sender), senderLength);
        }
    }
}

std::optional<std::string> Dispatcher::replyTo(const char* text) const
{
    const std::optional<std::string> type = requestedType(text);
    if (!type) {
        return std::nullopt;
    }
    nlohmann::json reply = nlohmann::json::array();
    {
        const std::lock_guard lock(mutex_);
        for (const DiscoveryEntry& entry : entries_) {
            if (entry.type == *type) {
                reply.push_back(entry);
            }
        }
    }
    // A device name that is not UTF-8 must not silence every later reply.
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
