#include "sim/lumra/lumra_devices.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "sim/common/device_set.h"
#include "sim/lumra/lumra_log.h"

namespace qorsim::lumra {
namespace {

constexpr uintptr_t kHandleBase = 0x4C000000;
constexpr uintptr_t kHandleStep = 0x10;
constexpr std::array<int, 4> kDefaultVersion{2, 3, 1, 18};

struct Registry {
    std::mutex mutex;
    std::vector<Device> devices;
    uint64_t generation = 0;
    uintptr_t next_token = 1;
};

void closeDevice(Device& device) {
    device.lock.reset();
    device.opened = false;
    device.output_on = false;
}

void closeAll(Registry& r) {
    for (Device& device : r.devices) closeDevice(device);
}

Registry& registry() {
    static Registry* r = [] {
        auto* created = new Registry;  // never destroyed: calls may arrive during static destruction
        addResetHook([created] {
            {
                std::lock_guard lock(created->mutex);
                closeAll(*created);
            }
            resetLog();
        });
        return created;
    }();
    return *r;
}

Channel parseChannel(const nlohmann::json& j) {
    Channel c;
    c.wavelength = j.at("wavelength").get<uint32_t>();
    c.group = j.value("group", 0u);
    c.min = j.value("min", 0u);
    c.max = j.value("max", 1000u);
    if (c.min > c.max) throw std::runtime_error("channel minimum above its maximum");
    // The device never holds an intensity it would refuse to be given back.
    const auto intensity = j.value("intensity", static_cast<int64_t>(c.min));
    c.intensity = static_cast<int32_t>(std::clamp<int64_t>(intensity, c.min, c.max));
    c.on = j.value("on", false);
    return c;
}

// A broken entry is reported on standard error and left out, as a device that is not attached.
std::vector<Device> parseDevices(const nlohmann::json& set, uintptr_t& next_token) {
    std::vector<Device> devices;
    const nlohmann::json& list = set.at("light_sources");
    for (size_t i = 0; i < list.size(); ++i) {
        try {
            const nlohmann::json& j = list[i];
            Device d;
            d.type = j.at("type").get<int32_t>();
            d.port = j.at("port").get<std::string>();
            d.serial = j.at("serial").get<uint32_t>();
            d.base_temperature_c = j.value("temperature_c", 25.0);
            for (const nlohmann::json& c : j.value("channels", nlohmann::json::array()))
                d.channels.push_back(parseChannel(c));
            d.token = next_token++;
            devices.push_back(std::move(d));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[qor-sim] light source %zu left out: %s\n", i, e.what());
        }
    }
    return devices;
}

std::string lockName(const Device& device) { return "lumra-" + std::to_string(device.serial); }

}  // namespace

Session::Session() : lock_(registry().mutex) {
    Registry& r = registry();
    const uint64_t generation = deviceSetGeneration();
    if (generation == r.generation) return;
    closeAll(r);
    r.devices = parseDevices(deviceSet(), r.next_token);
    r.generation = generation;
}

std::vector<Device>& Session::devices() { return registry().devices; }

Device* Session::find(LUMRA_HANDLE handle) {
    for (Device& device : registry().devices)
        if (handleOf(device) == handle) return &device;
    return nullptr;
}

int Session::status(const Device& device) const {
    if (device.opened) return LUMRA_STATUS_OPENED;
    return DeviceLock::heldElsewhere(lockName(device)) ? LUMRA_STATUS_IN_USE : LUMRA_STATUS_NOT_OPENED;
}

bool Session::open(Device& device) {
    device.lock = DeviceLock::acquire(lockName(device));
    if (!device.lock) return false;
    device.opened = true;
    device.output_on = false;
    return true;
}

void Session::close(Device& device) { closeDevice(device); }

LUMRA_HANDLE handleOf(const Device& device) {
    return reinterpret_cast<LUMRA_HANDLE>(kHandleBase + device.token * kHandleStep);
}

std::array<int, 4> sdkVersion() {
    const nlohmann::json set = deviceSet();
    const auto it = set.find("lumra_sdk_version");
    if (it == set.end() || !it->is_array() || it->size() != 4) return kDefaultVersion;
    std::array<int, 4> version{};
    for (size_t i = 0; i < version.size(); ++i) {
        if (!(*it)[i].is_number_integer()) return kDefaultVersion;
        version[i] = (*it)[i].get<int>();
    }
    return version;
}

}  // namespace qorsim::lumra
