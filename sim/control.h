#pragma once

// Test control of the simulated vendor libraries: device sets, fault injection, unplugging and
// the log of the calls that reached the simulation. Only tests and benchmarks include this.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qorsim {

/// One call that reached a simulated library, with its integer arguments in order.
struct CallRecord {
    std::string name;
    std::vector<int64_t> args;
};

/// Replaces the device set by the JSON text of a device file; open devices are closed first.
void loadDevices(const std::string& json_text);
/// Replaces the device set by the contents of a device file.
void loadDeviceFile(const std::filesystem::path& file);
/// Back to the device set of QOR_SIM_DEVICES (or the built-in one); closes every handle, deletes
/// every recorder and converter, clears faults and the call log.
void reset();

/// Makes the named call return `status` for its next `count` calls (the call does nothing else).
void failNext(const std::string& call, int32_t status, int count = 1);
/// Makes the named call return `status` after `skip` further successful calls, for `count` calls.
void failAfter(const std::string& call, int skip, int32_t status, int count = 1);
/// Makes the named call wait `block_ms` milliseconds (-1: forever) after `skip` further successful
/// calls, for `count` calls; each then returns `status` when given, else acts normally.
void blockAfter(const std::string& call, int skip, int block_ms, std::optional<int32_t> status = std::nullopt,
                int count = 1);
void clearFaults();

/// Every later call on a handle of this device fails as disconnected; the scan no longer lists it.
void unplug(uint32_t serial);

/// Directory of the per-device lock files that mark a device in use across processes.
void setLockDirectory(const std::filesystem::path& dir);

std::vector<CallRecord> calls();
/// Number of logged calls of that name.
int callCount(const std::string& name);
/// Arguments of the last logged call of that name; empty when there was none.
std::vector<int64_t> lastCallArgs(const std::string& name);
void clearCalls();

}  // namespace qorsim
