#include "tests/support/expected_pattern.h"

#include <algorithm>

namespace qortest {
namespace {

constexpr uint32_t kSquareSide = 64;
constexpr uint32_t kSquareLevel = 2048;
constexpr uint64_t kNominalExposureNs = 10'000'000;

uint8_t bcd(uint32_t value) { return static_cast<uint8_t>(((value / 10) % 10) << 4 | (value % 10)); }

unsigned alignmentShift(const MonoPattern& p) { return p.bits > 8 && p.msb_aligned ? 16u - p.bits : 0u; }

}  // namespace

uint16_t expectedMonoPixel(const MonoPattern& p, uint32_t image_number, uint32_t column, uint32_t row) {
    const uint32_t roi_height = p.roi_height != 0 ? p.roi_height : p.height;
    const uint64_t sx = uint64_t{p.roi_x0 - 1 + column} * p.bin_h;
    const uint64_t sy = uint64_t{p.roi_y0 - 1 + row % roi_height} * p.bin_v;

    uint64_t scene = (sx * 7 + sy * 3) & 1023;
    const uint64_t square_x = (uint64_t{image_number} * 16) % p.sensor_width;
    const uint64_t square_y = (uint64_t{image_number} * 8) % p.sensor_height;
    if (sx >= square_x && sx < square_x + kSquareSide && sy >= square_y && sy < square_y + kSquareSide)
        scene += kSquareLevel;

    const uint64_t level = p.bits >= 12 ? scene << (p.bits - 12) : scene >> (12 - p.bits);
    const uint64_t gain = std::min<uint64_t>(p.exposure_ns * 65536 / kNominalExposureNs, uint64_t{1} << 32);
    const uint64_t binned = p.average_binning ? 1 : uint64_t{p.bin_h} * p.bin_v;
    const uint64_t signal = ((level * gain) >> 16) * binned;
    const uint64_t value = std::min<uint64_t>(p.dark_offset + signal, (uint64_t{1} << p.bits) - 1);
    return static_cast<uint16_t>(value << alignmentShift(p));
}

std::vector<uint16_t> expectedMonoImage(const MonoPattern& p, uint32_t image_number) {
    std::vector<uint16_t> image(size_t{p.width} * p.height);
    for (uint32_t row = 0; row < p.height; ++row)
        for (uint32_t column = 0; column < p.width; ++column)
            image[size_t{row} * p.width + column] = expectedMonoPixel(p, image_number, column, row);
    return image;
}

std::array<uint8_t, 14> binaryTimestamp(uint32_t counter, const StampTime& t) {
    return {bcd(counter / 1000000 % 100), bcd(counter / 10000 % 100), bcd(counter / 100 % 100), bcd(counter % 100),
            bcd(t.year / 100 % 100),      bcd(t.year % 100),          bcd(t.month),             bcd(t.day),
            bcd(t.hour),                  bcd(t.minute),              bcd(t.second),
            bcd(t.microseconds / 10000 % 100), bcd(t.microseconds / 100 % 100), bcd(t.microseconds % 100)};
}

void overlayBinaryTimestamp(std::vector<uint16_t>& image, const MonoPattern& p, uint32_t counter,
                            const StampTime& time) {
    const auto stamp = binaryTimestamp(counter, time);
    const size_t n = std::min(stamp.size(), image.size());
    for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint16_t>(uint32_t{stamp[i]} << alignmentShift(p));
}

::testing::AssertionResult samePixels(std::span<const uint16_t> actual, std::span<const uint16_t> expected,
                                      uint32_t width) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "pixel count " << actual.size() << ", expected " << expected.size();
    size_t differing = 0;
    size_t first = 0;
    for (size_t i = actual.size(); i-- > 0;) {
        if (actual[i] == expected[i]) continue;
        ++differing;
        first = i;
    }
    if (differing == 0) return ::testing::AssertionSuccess();
    const size_t w = std::max<uint32_t>(width, 1);
    return ::testing::AssertionFailure() << differing << " pixels differ; first at column " << first % w << ", row "
                                         << first / w << ": " << actual[first] << ", expected " << expected[first];
}

}  // namespace qortest
