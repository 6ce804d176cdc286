#pragma once

// The discovery entry of a test camera server on a given port.
#include <cstdint>

#include "discovery/discovery_entry.h"

namespace qortest {

/// A free camera entry named "Test" with serial 7 on `port`.
inline DiscoveryEntry testCameraEntry(uint16_t port) {
    DiscoveryEntry e;
    e.type = "camera";
    e.ip = "0.0.0.0";
    e.port = port;
    e.name = "Test";
    e.serial = 7;
    return e;
}

}  // namespace qortest
