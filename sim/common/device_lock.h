#pragma once

// Advisory lock files that mark a device in use across processes, as real hardware is: the lock
// goes away when the holder closes the device or dies.
#include <filesystem>
#include <memory>
#include <string>

namespace qorsim {

class DeviceLock {
public:
    /// Takes the lock of that name; null when another holder has it. When the lock directory cannot
    /// be used, returns a lock that only this process honours.
    static std::unique_ptr<DeviceLock> acquire(const std::string& name);
    /// True when another open file holds the lock of that name.
    static bool heldElsewhere(const std::string& name);

    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

private:
    explicit DeviceLock(int fd) : fd_(fd) {}
    int fd_;
};

/// The directory of the lock files: set by the tests, else QOR_SIM_LOCK_DIR, else /tmp/qor-sim-locks.
std::filesystem::path lockDirectory();

}  // namespace qorsim
