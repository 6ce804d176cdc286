#pragma once

// The conversion pipelines behind the exported calls. Arguments are checked by the caller;
// each pipeline works from a snapshot of the converter's settings.
#include <cstddef>
#include <cstdint>

#include "sim/convert/converter.h"
#include "sim/convert/tone.h"

namespace qorsim::conv {

/// The converter's tone map of the key: the affine form, or a (cached) table.
ToneMap toneMapFor(Converter& converter, const ToneKey& key);

/// Width rounded up to a multiple of 4: the row length of the padded output layouts.
inline int paddedWidth(int width) { return (width + 3) & ~3; }

/// Reflection at the borders without repeating the edge (-1 -> 1, n -> n - 2), which keeps the
/// Bayer parity of a row or column; a single row or column is repeated.
inline int reflect(int i, int n) {
    if (n == 1) return 0;
    while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
    return i;
}

/// Asks for raw row y (when it exists) ahead of its use: the conversions alternate short reads
/// with long computation, which leaves the hardware prefetcher behind.
inline void prefetchRow(const uint16_t* in, int width, int height, int y) {
    if (y < 0 || y >= height) return;
    const char* row = reinterpret_cast<const char*>(in + static_cast<size_t>(y) * static_cast<size_t>(width));
    for (size_t offset = 0; offset < static_cast<size_t>(width) * sizeof(uint16_t); offset += 64)
        __builtin_prefetch(row + offset, 0, 2);
}
inline constexpr int kPrefetchRows = 3;

enum class Sharpen { Off, Plain, Adaptive };
/// Display levels of detail that the adaptive sharpener takes for noise, and by which its result
/// may pass the neighbourhood's minimum and maximum.
inline constexpr uint8_t kCoring8 = 2;
inline constexpr uint8_t kOvershoot8 = 4;
Sharpen sharpenMode(int flags);

/// Mono8: rows of padded width bytes.
void convertMono8(Converter& converter, const Snapshot& settings, int flags, int width, int height, const uint16_t* in,
                  uint8_t* out);
/// Pseudo colour through the converter's table, in the 8-bit colour layout chosen by the flags.
void convertPseudo(Converter& converter, const Snapshot& settings, int flags, int width, int height, const uint16_t* in,
                   uint8_t* out);
/// Demosaiced 8-bit colour in the layout chosen by the flags.
void convertColour8(Converter& converter, const Snapshot& settings, int flags, int color_mode, int width, int height,
                    const uint16_t* in, uint8_t* out);
/// Demosaiced 16-bit colour, RGB or BGR, rows of 3 x padded width values.
void convertColour16(const Snapshot& settings, int flags, int color_mode, int width, int height, const uint16_t* in,
                     uint16_t* out);

}  // namespace qorsim::conv
