#include "camera/camera_time.h"

#include <cmath>

namespace qor {

namespace {
constexpr double kScale[3] = {1e9, 1e6, 1e3};
}

SdkTime toSdkTime(double seconds) {
    uint16_t base = seconds < 0.004 ? 0 : seconds < 4 ? 1 : 2;
    return {toSdkValue(seconds, base), base};
}

uint32_t toSdkValue(double seconds, uint16_t base) {
    double v = std::trunc(seconds * kScale[base > 2 ? 2 : base]);
    if (!(v >= 0)) return 0;
    if (v > 4294967295.0) return 4294967295u;
    return static_cast<uint32_t>(v);
}

double fromSdkTime(uint32_t value, uint16_t base) { return value / kScale[base > 2 ? 2 : base]; }

TimeLimits timeLimits(const QOR_Description& d, bool ir) {
    const double step = d.dwMinExposureStepDESC;
    if (ir)
        return {(d.dwMinExposureIRDESC - step) * 1e-9, d.dwMaxExposureIRDESC * 1e-3, d.dwMinDelayIRDESC * 1e-9,
                d.dwMaxDelayIRDESC * 1e-3};
    return {(d.dwMinExposureDESC - step) * 1e-9, d.dwMaxExposureDESC * 1e-3, d.dwMinDelayDESC * 1e-9,
            d.dwMaxDelayDESC * 1e-3};
}

}  // namespace qor
