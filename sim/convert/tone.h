#pragma once

// The display curve: 16-bit values to 8-bit display values through the display range, gamma and
// contrast, optionally after a per-channel white-balance gain with its clipping.
#include <cstdint>
#include <memory>
#include <vector>

#include "camera/vendor/qor_convert.h"

namespace qorsim::conv {

/// Supported ranges of the display values; outside them the conversions use the nearest end.
inline constexpr int32_t kMinTemperature = 1000, kMaxTemperature = 40000;
inline constexpr int32_t kTintLimit = 150;
inline constexpr int32_t kPercentLimit = 100;  // saturation, vibrance and contrast
inline constexpr int32_t kMaxGamma100 = 1000;

/// The display settings as the conversions use them, each clamped into its supported range
/// (the stored record keeps what the caller wrote).
struct DisplayParams {
    int32_t min = 0;
    int32_t max = 65535;
    int32_t temperature = 6500;
    int32_t tint = 0;
    int32_t saturation = 0;
    int32_t vibrance = 0;
    int32_t contrast = 0;
    int32_t gamma100 = 100;
};

/// The display settings of a record with every value clamped into its supported range.
DisplayParams displayParams(const QOR_Display& display);

/// One channel's curve. A value v is first clipped to [dark, dark + (full - dark) / clip_gain]
/// and scaled to y = dark + gain * (v - dark); y then goes through the display range, gamma and
/// contrast. Mono data uses gain 1, clip gain 1, dark 0 and full 65535, which leaves v as it is.
struct ToneKey {
    int32_t min = 0;
    int32_t max = 65535;
    int32_t contrast = 0;
    int32_t gamma100 = 100;
    double gain = 1.0;
    double clip_gain = 1.0;
    int dark = 0;
    int full = 65535;
    bool operator==(const ToneKey&) const = default;
};

/// The key of the plain display curve of `display`.
ToneKey plainToneKey(const DisplayParams& display);

/// The display value (0 to 255, not rounded) of the input value v: the reference definition.
double toneValue(const ToneKey& key, int v);

/// 65536 rounded display values, one per 16-bit input value.
using ToneTable = std::vector<uint8_t>;
std::shared_ptr<const ToneTable> buildToneTable(const ToneKey& key);

/// A curve ready for the row kernel: an integer affine form when the gamma is 1 and the range
/// has at least as many input steps as output steps (within one display level of the reference),
/// else a table (exact).
struct ToneMap {
    bool affine = false;
    uint16_t vlow = 0, vclip = 0xFFFF;  // input clip
    uint16_t lo = 0, range = 0;         // x = min(max(v - lo, 0), range)
    int shift = 0;                      // x << shift fills 16 bits
    uint16_t mul = 0;                   // (x * mul) >> 16 is 64 times the display value
    uint16_t add = 0, sub = 0;          // offset and rounding, in 64ths
    std::shared_ptr<const ToneTable> table;
};

/// The affine form of the curve, or false when the curve needs a table.
bool affineTone(const ToneKey& key, ToneMap& map);

/// Maps n values of one row.
void toneRow(const uint16_t* in, uint8_t* out, int n, const ToneMap& map);
/// Maps n values of a Bayer row: even columns by `even`, odd columns by `odd`.
void toneRowPair(const uint16_t* in, uint8_t* out, int n, const ToneMap& even, const ToneMap& odd);

}  // namespace qorsim::conv
