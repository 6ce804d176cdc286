#pragma once

// What the simulated mono camera's images must contain, computed independently of the simulator:
// a ramp over the sensor, a bright 64 x 64 square that moves with the image number, a brightness
// that follows the exposure time, binning, a dark offset, saturation and the bit alignment, and
// the binary time stamp in the first pixels.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qortest {

/// The settings of one mono recording that decide its pixels.
struct MonoPattern {
    uint32_t roi_x0 = 1;  // first column and row of the ROI, 1-based, in binned pixels
    uint32_t roi_y0 = 1;
    uint32_t width = 0;       // image columns
    uint32_t height = 0;      // image rows (twice roi_height in double-image mode)
    uint32_t roi_height = 0;  // rows of one exposure; 0 means `height`
    uint32_t sensor_width = 2048;  // unbinned sensor size
    uint32_t sensor_height = 2048;
    uint16_t bin_h = 1;
    uint16_t bin_v = 1;
    bool average_binning = false;
    uint16_t bits = 16;         // significant bits of the data
    uint16_t dark_offset = 100;  // at `bits`
    bool msb_aligned = false;    // the camera library selects LSB alignment
    uint64_t exposure_ns = 10'000'000;
};

/// Wall-clock fields of a binary time stamp.
struct StampTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint32_t microseconds = 0;
};

/// The value of pixel (column, row), both 0-based, of image `image_number` (1-based) without a time stamp.
uint16_t expectedMonoPixel(const MonoPattern& p, uint32_t image_number, uint32_t column, uint32_t row);

/// The whole image `image_number`, row after row.
std::vector<uint16_t> expectedMonoImage(const MonoPattern& p, uint32_t image_number);

/// The 14 BCD bytes of a binary time stamp: counter (4 bytes, most significant first), century,
/// year, month, day, hour, minute, second, microseconds (3 bytes, most significant first).
std::array<uint8_t, 14> binaryTimestamp(uint32_t counter, const StampTime& time);

/// Writes the binary time stamp into the first pixels of an expected image, aligned as its data.
void overlayBinaryTimestamp(std::vector<uint16_t>& image, const MonoPattern& p, uint32_t counter,
                            const StampTime& time);

/// Equal sizes and pixels; on failure names the first differing pixel and how many differ.
::testing::AssertionResult samePixels(std::span<const uint16_t> actual, std::span<const uint16_t> expected,
                                      uint32_t width);

}  // namespace qortest
