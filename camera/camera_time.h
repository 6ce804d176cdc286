#pragma once

// Seconds to and from the SDK's integer times with a time base (0 ns, 1 us, 2 ms), and the time
// limits a camera description sets.
#include <cstdint>

#include "camera/vendor/qor_camsys.h"

namespace qor {

struct SdkTime {
    uint32_t value = 0;
    uint16_t base = 0;
};

/// The base by magnitude (below 4 ms nanoseconds, below 4 s microseconds, else milliseconds),
/// the value truncated toward zero.
SdkTime toSdkTime(double seconds);
/// The value in the given base, truncated toward zero.
uint32_t toSdkValue(double seconds, uint16_t base);
/// value / 10^(9 - 3 * base).
double fromSdkTime(uint32_t value, uint16_t base);

/// Exposure and delay limits in seconds.
struct TimeLimits {
    double min_exposure;
    double max_exposure;
    double min_delay;
    double max_delay;
};

/// The limits of a description, from its IR-sensitive set when `ir`. The exposure minimum is one
/// step below the described minimum: the camera rounds up within a step.
TimeLimits timeLimits(const QOR_Description& d, bool ir);

}  // namespace qor
