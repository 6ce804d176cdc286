#pragma once

// The white-balance model: gains of the red, green and blue channel for a colour temperature
// and tint, its inverse, and the grey-world estimate of a region of a Bayer image.
#include <cstdint>

#include "sim/convert/converter.h"

namespace qorsim::conv {

/// Channel gains, normalised to green = 1.
struct Gains {
    double r = 1.0, g = 1.0, b = 1.0;
};

/// Gains that neutralise light of the temperature (kelvin) and tint; both are clamped into their
/// supported ranges first. 6500 K with tint 0 gives 1, 1, 1.
Gains gainsFor(int32_t temperature, int32_t tint);

/// Temperature and tint whose gains are closest to the ratios of `gains` (only r/g and b/g count).
void temperatureFor(const Gains& gains, int32_t& temperature, int32_t& tint);

/// Which pixels carry red in a Bayer image of the color mode: red sits at (red_x, red_y) of each
/// 2x2 cell, blue at the opposite corner, green on the other two.
struct BayerPhase {
    int red_x = 0, red_y = 0;
};
BayerPhase bayerPhase(int color_mode);

/// Grey-world estimate over the 0-based inclusive region: the temperature and tint whose gains,
/// followed by the sensor's colour matrix, make the region's mean colour neutral. False when a
/// channel has no signal above the dark offset; the outputs are then left unchanged.
bool estimateWhiteBalance(const SensorModel& sensor, int color_mode, int width, const uint16_t* raw, int x0, int y0,
                          int x1, int y1, int32_t& temperature, int32_t& tint);

}  // namespace qorsim::conv
