#pragma once

// The vendor C declarations the camera library uses, and the one place where an SDK status is judged.
#include <cstdint>

#include "camera/camera_exception.h"
#include "camera/vendor/qor_camsys.h"
#include "camera/vendor/qor_convert.h"
#include "camera/vendor/qor_recorder.h"

namespace qor::sdk {

inline constexpr uint32_t kWarningBit = 0x40000000;

/// True when an SDK status counts as success: not negative, or a warning.
constexpr bool succeeded(int32_t status) {
    return status >= 0 || (static_cast<uint32_t>(status) & kWarningBit) != 0;
}

/// Throws a CameraException built from the status unless it counts as success.
inline void check(int32_t status) {
    if (!succeeded(status)) throw CameraException(status);
}

}  // namespace qor::sdk
