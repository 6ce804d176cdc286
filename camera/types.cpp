#include "camera/types.h"

#include <string>

#include "camera/camera_exception.h"

namespace qor {

uint32_t pixelFormatFlag(uint32_t bit_resolution) {
    switch (bit_resolution) {
        case 16: return 1;
        case 14: return 2;
        case 12: return 4;
        case 10: return 8;
        case 8: return 16;
        default:
            throw CameraException("Unknown dynamic resolution: " + std::to_string(bit_resolution), errc::kUnspecified);
    }
}

}  // namespace qor
