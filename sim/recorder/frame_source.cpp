#include "sim/recorder/frame_source.h"

#include <algorithm>
#include <array>

namespace qorsim {
namespace {

constexpr uint32_t kSquareSide = 64;      // sensor pixels
constexpr uint32_t kSquareLevel = 2048;   // scene units added inside the square
constexpr uint32_t kSceneLevels = 4096;   // scene units span 12 bits
constexpr uint64_t kReferenceExposureNs = 10000000;  // 10 ms shows the scene at its nominal level

// Scene value of a sensor pixel; colour sensors see a different ramp per Bayer colour.
inline uint32_t rampMono(uint32_t sx, uint32_t sy) { return (sx * 7 + sy * 3) & 1023; }
inline uint32_t rampRed(uint32_t sx, uint32_t) { return (sx * 4) & 1023; }
inline uint32_t rampGreen(uint32_t, uint32_t sy) { return (sy * 4) & 1023; }
inline uint32_t rampBlue(uint32_t sx, uint32_t sy) { return ((sx + sy) * 2) & 1023; }

// Bayer colour (0 R, 1 G, 2 B) of a 0-based sensor pixel for the sensor's phase at (0,0).
inline uint32_t cfaColor(uint32_t phase, uint32_t sx, uint32_t sy) {
    // Phases: 0 RGGB, 1 GRBG, 2 GBRG, 3 BGGR.
    static constexpr uint8_t kColors[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    return kColors[phase & 3][(sx & 1) + 2 * (sy & 1)];
}

// Final pixel values of every scene level for this exposure: bit depth, gain, binning, dark
// offset, saturation and alignment in one table.
template <class T>
std::array<T, kSceneLevels> valueTable(const FrameGeometry& g, uint64_t exposure_ns) {
    std::array<T, kSceneLevels> table{};
    const uint64_t gain = std::min<uint64_t>(exposure_ns * 65536 / kReferenceExposureNs, uint64_t{1} << 32);
    const uint64_t max_value = (uint64_t{1} << g.data_bits) - 1;
    const uint64_t bin = g.average_binning ? 1 : uint64_t{g.bin_h} * g.bin_v;
    const unsigned shift = g.storage_bits == 16 && g.msb_aligned ? 16 - g.data_bits : 0;
    for (uint32_t s = 0; s < kSceneLevels; ++s) {
        uint64_t level = g.data_bits >= 12 ? uint64_t{s} << (g.data_bits - 12) : s >> (12 - g.data_bits);
        uint64_t signal = ((level * gain) >> 16) * bin;
        uint64_t value = std::min<uint64_t>(g.dark_offset + signal, max_value);
        table[s] = static_cast<T>(value << shift);
    }
    return table;
}

template <class T>
void render(const FrameGeometry& g, uint32_t n, uint64_t exposure_ns, const QOR_Timestamp& ts, T* out) {
    const auto table = valueTable<T>(g, exposure_ns);
    const uint32_t sq_x = g.sensor_width ? (n * 16) % g.sensor_width : 0;
    const uint32_t sq_y = g.sensor_height ? (n * 8) % g.sensor_height : 0;
    for (uint32_t j = 0; j < g.height; ++j) {
        const uint32_t sy = (g.roi_y0 - 1 + j % std::max<uint32_t>(g.roi_height, 1)) * g.bin_v;
        const bool square_row = sy >= sq_y && sy < sq_y + kSquareSide;
        T* row = out + uint64_t{j} * g.width;
        for (uint32_t i = 0; i < g.width; ++i) {
            const uint32_t sx = (g.roi_x0 - 1 + i) * g.bin_h;
            uint32_t s;
            if (!g.color) {
                s = rampMono(sx, sy);
            } else {
                switch (cfaColor(g.cfa_phase, sx, sy)) {
                    case 0: s = rampRed(sx, sy); break;
                    case 1: s = rampGreen(sx, sy); break;
                    default: s = rampBlue(sx, sy); break;
                }
            }
            if (square_row && sx >= sq_x && sx < sq_x + kSquareSide) s += kSquareLevel;
            row[i] = table[s];
        }
    }
    if (g.timestamp_mode == 1 || g.timestamp_mode == 2) {
        const uint32_t counter = n;
        const std::array<uint8_t, 14> stamp = {
            bcd(counter / 1000000 % 100), bcd(counter / 10000 % 100), bcd(counter / 100 % 100), bcd(counter % 100),
            bcd(ts.wYear / 100 % 100),    bcd(ts.wYear % 100),        bcd(ts.wMonth),           bcd(ts.wDay),
            bcd(ts.wHour),                bcd(ts.wMinute),            bcd(ts.wSecond),
            bcd(ts.dwMicroSeconds / 10000 % 100), bcd(ts.dwMicroSeconds / 100 % 100), bcd(ts.dwMicroSeconds % 100)};
        const unsigned shift = g.storage_bits == 16 && g.msb_aligned ? 16 - g.data_bits : 0;
        const uint64_t count = std::min<uint64_t>(stamp.size(), g.pixelCount());
        for (uint64_t i = 0; i < count; ++i) out[i] = static_cast<T>(uint32_t{stamp[i]} << shift);
    }
}

}  // namespace

FrameGeometry frameGeometry(const CameraSpec& model, const CameraSettings& s) {
    FrameGeometry g;
    g.roi_x0 = s.roi[0];
    g.roi_y0 = s.roi[1];
    g.width = s.roi[2] >= s.roi[0] ? s.roi[2] - s.roi[0] + 1u : 0u;
    g.roi_height = s.roi[3] >= s.roi[1] ? s.roi[3] - s.roi[1] + 1u : 0u;
    g.height = g.roi_height * (s.double_image ? 2 : 1);
    g.sensor_width = model.maxWidth();
    g.sensor_height = model.maxHeight();
    g.bin_h = std::max<uint16_t>(s.binningFactorHorz(), 1);
    g.bin_v = std::max<uint16_t>(s.binningFactorVert(), 1);
    g.average_binning = s.averageBinning();
    g.data_bits = model.dataBits(s);
    g.storage_bits = model.storageBits(s);
    const int dyn = model.description.wDynResDESC;
    g.dark_offset = static_cast<uint16_t>(g.data_bits >= dyn ? model.dark_offset << (g.data_bits - dyn)
                                                             : model.dark_offset >> (dyn - g.data_bits));
    g.color = model.isColor();
    const int k = (model.description.wColorPatternDESC & 0xF) - 1;
    g.cfa_phase = k < 0 || k > 3 ? 0 : static_cast<uint32_t>(k);
    g.msb_aligned = s.bit_alignment == 0;
    g.timestamp_mode = model.hasTimestamp() ? s.timestamp_mode : 0;
    return g;
}

void renderFrame(const FrameGeometry& geometry, uint32_t image_number, uint64_t exposure_ns,
                 const QOR_Timestamp& timestamp, void* out) {
    if (geometry.storage_bits == 8)
        render(geometry, image_number, exposure_ns, timestamp, static_cast<uint8_t*>(out));
    else
        render(geometry, image_number, exposure_ns, timestamp, static_cast<uint16_t*>(out));
}

double readoutSeconds(const FrameGeometry& geometry, uint32_t pixel_rate) {
    if (pixel_rate == 0) pixel_rate = 100000000;
    return static_cast<double>(geometry.pixelCount()) / pixel_rate;
}

}  // namespace qorsim
