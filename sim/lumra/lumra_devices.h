#pragma once

// Device model of the simulated light-source SDK: the light sources of the device set, their handles,
// and the lock files that mark a device in use across processes.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lightsource/vendor/lym_lumra.h"
#include "sim/common/device_lock.h"

namespace qorsim::lumra {

struct Channel {
    uint32_t wavelength = 0;
    uint32_t group = 0;
    uint32_t min = 0;
    uint32_t max = 0;
    int32_t intensity = 0;
    bool on = false;
};

struct Device {
    uint32_t serial = 0;
    int32_t type = 0;
    std::string port;
    std::vector<Channel> channels;
    double base_temperature_c = 25.0;
    uintptr_t token = 0;  // the handle's value; unique for the life of the process
    bool output_on = false;
    bool opened = false;
    std::unique_ptr<DeviceLock> lock;  // held while opened
};

/// Exclusive access to the device list for the duration of one call. Rebuilds the list from the device
/// set when that was replaced; handles of an earlier list are unknown afterwards.
class Session {
public:
    Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::vector<Device>& devices();
    /// The device of a handle; null for a handle this list did not hand out.
    Device* find(LUMRA_HANDLE handle);

    /// Status as LUMRA_GetDeviceInfo reports it: opened here, in use by another process, or free.
    int status(const Device& device) const;
    /// Takes the device's lock; false when another process holds it.
    bool open(Device& device);
    void close(Device& device);

private:
    std::unique_lock<std::mutex> lock_;
};

LUMRA_HANDLE handleOf(const Device& device);

/// SDK version numbers: the device set's "lumra_sdk_version" list, or the built-in ones.
std::array<int, 4> sdkVersion();

}  // namespace qorsim::lumra
