#pragma once

// The record that describes one server in discovery replies and in its /v1/info body.
#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

// One published server, identified by the pair (port, ip).
struct DiscoveryEntry {
    std::string type;           // "camera" or "lumra"
    std::string ip;             // advertised IPv4 address in dotted form
    std::uint16_t port = 0;     // TCP port of the server
    std::string name;           // device name
    std::uint32_t serial = 0;   // device serial number, 0 when unknown
    bool free = true;           // no client holds the device by heartbeat
    std::chrono::steady_clock::time_point changed{};  // last publication or change of free
};

// Writes the six public fields as a JSON object; `changed` is not serialised. Does not throw.
void to_json(nlohmann::json& j, const DiscoveryEntry& entry);
