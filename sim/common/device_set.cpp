#include "sim/common/device_set.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/common/faults.h"
#include "sim/control.h"

namespace qorsim {
namespace {

// The built-in device set: two cameras and one light source.
const char* const kDefaultDeviceSet = R"json({
  "cameras": [
    {
      "template": "mono",
      "serial": 10001,
      "name": "SimCam Mono"
    },
    {
      "template": "color",
      "serial": 10002,
      "name": "SimCam Color"
    }
  ],
  "light_sources": [
    {
      "type": 1,
      "port": "/dev/ttySIM0",
      "serial": 7001,
      "channels": [
        {"wavelength": 385, "group": 0, "min": 0, "max": 1000, "intensity": 100},
        {"wavelength": 470, "group": 1, "min": 0, "max": 1000, "intensity": 200},
        {"wavelength": 555, "group": 1, "min": 0, "max": 1000, "intensity": 300},
        {"wavelength": 630, "group": 0, "min": 10, "max": 800, "intensity": 400}
      ]
    }
  ]
})json";

struct State {
    std::mutex mutex;
    nlohmann::json set;
    bool loaded = false;
    uint64_t generation = 1;
    std::vector<std::function<void()>> hooks;
};

State& state() {
    static State* s = new State;  // never destroyed: library calls may come during static destruction
    return *s;
}

nlohmann::json parseSet(const std::string& text) {
    nlohmann::json j = nlohmann::json::parse(text);
    if (!j.is_object()) throw std::runtime_error("device file: the top level must be an object");
    if (!j.contains("cameras")) j["cameras"] = nlohmann::json::array();
    if (!j.contains("light_sources")) j["light_sources"] = nlohmann::json::array();
    if (!j["cameras"].is_array() || !j["light_sources"].is_array())
        throw std::runtime_error("device file: \"cameras\" and \"light_sources\" must be lists");
    return j;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("device file cannot be read: " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The set named by the environment, or the built-in one. A broken device file is reported once on
// standard error and leaves the simulation without devices, as a machine with no camera attached.
nlohmann::json environmentSet() {
    const char* file = std::getenv("QOR_SIM_DEVICES");
    if (file == nullptr || *file == '\0') return parseSet(kDefaultDeviceSet);
    try {
        return parseSet(readFile(file));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[qor-sim] %s\n", e.what());
        return parseSet(R"({"cameras":[],"light_sources":[]})");
    }
}

// A device file may arm faults for a process that tests cannot reach otherwise:
// "faults": [{"call": "QOR_OpenCameraDevice", "status": -2146172925, "skip": 1, "count": 1}].
void armFaults(const nlohmann::json& set) {
    for (const FaultEntry& entry : faultEntries(set)) armFault(entry);
}

void replaceSet(nlohmann::json set) {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard lock(state().mutex);
        hooks = state().hooks;
    }
    for (auto& hook : hooks) hook();
    std::lock_guard lock(state().mutex);
    state().set = std::move(set);
    state().loaded = true;
    ++state().generation;
}

}  // namespace

nlohmann::json deviceSet() {
    std::lock_guard lock(state().mutex);
    if (!state().loaded) {
        state().set = environmentSet();
        state().loaded = true;
        armFaults(state().set);
    }
    return state().set;
}

uint64_t deviceSetGeneration() {
    std::lock_guard lock(state().mutex);
    return state().generation;
}

void addResetHook(std::function<void()> hook) {
    std::lock_guard lock(state().mutex);
    state().hooks.push_back(std::move(hook));
}

void loadDevices(const std::string& json_text) { replaceSet(parseSet(json_text)); }

void loadDeviceFile(const std::filesystem::path& file) { replaceSet(parseSet(readFile(file.string()))); }

void reset() {
    replaceSet(environmentSet());
    clearFaults();
    clearCalls();
}

}  // namespace qorsim
