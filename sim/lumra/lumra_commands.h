#pragma once

// The device commands of LUMRA_ExecuteCommandWithValue.
#include <cstdint>
#include <string>

#include "sim/lumra/lumra_devices.h"

namespace qorsim::lumra {

/// Runs one command on an opened device; `value` may be null. Returns 0 and the answer, or
/// kLumraUnknownCommand / kLumraInvalidValue.
int32_t runCommand(Device& device, const std::string& command, const char* value, std::string& answer);

}  // namespace qorsim::lumra
