#pragma once

// The device set of the simulation: the JSON device file named by QOR_SIM_DEVICES, the built-in
// default set without it, or what a test loaded through the control header.
#include <cstdint>
#include <functional>

#include <nlohmann/json.hpp>

namespace qorsim {

/// The current device set: an object with the lists "cameras" and "light_sources".
nlohmann::json deviceSet();
/// Incremented whenever the device set is replaced, so libraries can rebuild their device lists.
uint64_t deviceSetGeneration();

/// Registers a function run by reset() and by loading a device set, before the new set is in place
/// (used by the libraries to close handles and stop recorders).
void addResetHook(std::function<void()> hook);

}  // namespace qorsim
