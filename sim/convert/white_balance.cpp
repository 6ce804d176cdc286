#include "sim/convert/white_balance.h"

#include <algorithm>
#include <cmath>

namespace qorsim::conv {
namespace {

// A light of temperature T shifts the balance of red against blue by exp(∓kRedBlue * d), d being
// the distance in mired (10^6 / T) from the 6500 K reference; the tint moves green against
// magenta by exp(-kTint * tint). Both are close to what a silicon sensor behind a Bayer filter
// sees between tungsten light and shade, and are exactly invertible.
constexpr double kRedBlue = 0.0035;  // per mired
constexpr double kTint = 0.004;      // per tint unit
constexpr double kReferenceMired = 1e6 / 6500.0;

// Inverse of a 3x3 matrix, false when it is (nearly) singular.
bool invert(const std::array<double, 9>& m, std::array<double, 9>& inv) {
    const double det =
        m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (std::abs(det) < 1e-9) return false;
    inv = {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det, (m[1] * m[5] - m[2] * m[4]) / det,
           (m[5] * m[6] - m[3] * m[8]) / det, (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
           (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det, (m[0] * m[4] - m[1] * m[3]) / det};
    return true;
}

}  // namespace

Gains gainsFor(int32_t temperature, int32_t tint) {
    const double t = std::clamp(temperature, kMinTemperature, kMaxTemperature);
    const double mired = 1e6 / t - kReferenceMired;
    const double magenta = kTint * std::clamp(tint, -kTintLimit, kTintLimit);
    return Gains{std::exp(-kRedBlue * mired + magenta), 1.0, std::exp(kRedBlue * mired + magenta)};
}

void temperatureFor(const Gains& gains, int32_t& temperature, int32_t& tint) {
    const double log_r = std::log(gains.r / gains.g);
    const double log_b = std::log(gains.b / gains.g);
    const double mired = (log_b - log_r) / (2.0 * kRedBlue) + kReferenceMired;
    const double t = mired > 1e6 / kMaxTemperature ? 1e6 / mired : kMaxTemperature;
    temperature = static_cast<int32_t>(std::lround(std::clamp<double>(t, kMinTemperature, kMaxTemperature)));
    tint = static_cast<int32_t>(
        std::lround(std::clamp((log_r + log_b) / (2.0 * kTint), -double(kTintLimit), double(kTintLimit))));
}

BayerPhase bayerPhase(int color_mode) {
    switch (color_mode) {
        case 1: return {1, 0};   // G R / B G
        case 2: return {0, 1};   // G B / R G
        case 3: return {1, 1};   // B G / G R
        default: return {0, 0};  // R G / G B
    }
}

bool estimateWhiteBalance(const SensorModel& sensor, int color_mode, int width, const uint16_t* raw, int x0, int y0,
                          int x1, int y1, int32_t& temperature, int32_t& tint) {
    const BayerPhase phase = bayerPhase(color_mode);
    uint64_t sum[3] = {0, 0, 0};
    uint64_t count[3] = {0, 0, 0};
    for (int y = y0; y <= y1; ++y) {
        const uint16_t* row = raw + static_cast<size_t>(y) * static_cast<size_t>(width);
        const bool red_row = (y & 1) == phase.red_y;
        // In a red row, red sits at the red column parity and green at the other; in a blue row,
        // blue sits at the other parity and green at the red one.
        const int coloured = red_row ? 0 : 2;
        const int coloured_parity = red_row ? phase.red_x : 1 - phase.red_x;
        for (int x = x0; x <= x1; ++x) {
            const int channel = (x & 1) == coloured_parity ? coloured : 1;
            sum[channel] += row[x];
            ++count[channel];
        }
    }
    double mean[3];
    for (int c = 0; c < 3; ++c) {
        if (count[c] == 0) return false;
        mean[c] = double(sum[c]) / double(count[c]) - sensor.dark;
        if (mean[c] <= 0.0) return false;
    }
    // The pipeline applies the gains, then the colour matrix M; the region comes out grey when
    // the balanced mean is proportional to M^-1 (1, 1, 1).
    double target[3] = {1.0, 1.0, 1.0};
    std::array<double, 9> inv{};
    if (invert(sensor.ccm, inv)) {
        for (int c = 0; c < 3; ++c) target[c] = inv[3 * c] + inv[3 * c + 1] + inv[3 * c + 2];
        if (target[0] <= 0.0 || target[1] <= 0.0 || target[2] <= 0.0) target[0] = target[1] = target[2] = 1.0;
    }
    const double green = target[1] / mean[1];
    temperatureFor(Gains{target[0] / mean[0] / green, 1.0, target[2] / mean[2] / green}, temperature, tint);
    return true;
}

}  // namespace qorsim::conv
