// Mono8 and pseudo colour: each raw row is mapped to display values, sharpened over a ring of
// three mapped rows, and written to its (possibly flipped) output row.
#include <array>
#include <cstring>

#include "sim/convert/conversions.h"
#include "sim/convert/kernels.h"
#include "sim/convert/row_bands.h"

namespace qorsim::conv {
namespace {

// Runs a block kernel over the n elements of dst: whole blocks straight into dst, the last
// partial block through a scratch block, so that nothing beyond dst[n - 1] is written.
template <typename T, typename Kernel>
void intoRow(T* dst, int n, T* scratch, Kernel&& kernel) {
    const int full = n / kBlock;
    if (full > 0) kernel(0, dst, full);
    const int rest = n - full * kBlock;
    if (rest > 0) {
        kernel(full * kBlock, scratch, 1);
        std::memcpy(dst + full * kBlock, scratch, static_cast<size_t>(rest) * sizeof(T));
    }
}

// Display rows y-1, y and y+1 of mono data, each with its edge pixels repeated on either side.
class DisplayRing {
public:
    DisplayRing(const ToneMap& tone, int width, int height, const uint16_t* in)
        : tone_(tone),
          width_(width),
          height_(height),
          in_(in),
          rows_{RowBuffer<uint8_t>(width), RowBuffer<uint8_t>(width), RowBuffer<uint8_t>(width)} {}

    void load(int y) {
        prefetchRow(in_, width_, height_, y + kPrefetchRows);
        uint8_t* row = rows_[static_cast<size_t>(y % 3)].row();
        toneRow(in_ + static_cast<size_t>(y) * static_cast<size_t>(width_), row, width_, tone_);
        row[-1] = row[0];
        row[width_] = row[width_ - 1];
    }

    // Above the first and below the last row the edge row repeats.
    const uint8_t* row(int y) const {
        y = y < 0 ? 0 : (y >= height_ ? height_ - 1 : y);
        return rows_[static_cast<size_t>(y % 3)].row();
    }

    // Writes the sharpened row y into n elements of dst.
    void sharpen(int y, Sharpen mode, uint8_t* dst, int n, uint8_t* scratch) const {
        const uint8_t* up = row(y - 1);
        const uint8_t* mid = row(y);
        const uint8_t* down = row(y + 1);
        intoRow(dst, n, scratch, [&](int offset, uint8_t* out, int blocks) {
            if (mode == Sharpen::Adaptive)
                adaptiveSharpenRow8(up + offset, mid + offset, down + offset, out, blocks, kCoring8, kOvershoot8);
            else
                sharpenRow8(up + offset, mid + offset, down + offset, out, blocks);
        });
    }

private:
    const ToneMap& tone_;
    int width_, height_;
    const uint16_t* in_;
    std::array<RowBuffer<uint8_t>, 3> rows_;
};

// Calls emit(y, display row) for the rows from `begin` to `end` - 1, sharpened as the flags ask.
// `direct(y)` may name the place where row y should be written (then emit gets that pointer), or null.
template <typename Direct, typename Emit>
void displayRows(const ToneMap& tone, Sharpen mode, int width, int height, const uint16_t* in, int begin, int end,
                 Direct&& direct, Emit&& emit) {
    RowBuffer<uint8_t> own(width);
    uint8_t scratch[kBlock];
    if (mode == Sharpen::Off) {
        for (int y = begin; y < end; ++y) {
            prefetchRow(in, width, height, y + kPrefetchRows);
            uint8_t* dst = direct(y);
            uint8_t* row = dst != nullptr ? dst : own.row();
            toneRow(in + static_cast<size_t>(y) * static_cast<size_t>(width), row, width, tone);
            emit(y, row);
        }
        return;
    }
    DisplayRing ring(tone, width, height, in);
    if (begin > 0) ring.load(begin - 1);
    ring.load(begin);
    for (int y = begin; y < end; ++y) {
        if (y + 1 < height) ring.load(y + 1);
        uint8_t* dst = direct(y);
        uint8_t* row = dst != nullptr ? dst : own.row();
        ring.sharpen(y, mode, row, width, scratch);
        emit(y, row);
    }
}

}  // namespace

ToneMap toneMapFor(Converter& converter, const ToneKey& key) {
    ToneMap map;
    if (!affineTone(key, map)) map.table = converter.toneTable(key);
    return map;
}

Sharpen sharpenMode(int flags) {
    if (flags & QOR_CONVERT_ADAPTIVE_SHARPEN) return Sharpen::Adaptive;
    if (flags & QOR_CONVERT_SHARPEN) return Sharpen::Plain;
    return Sharpen::Off;
}

void convertMono8(Converter& converter, const Snapshot& settings, int flags, int width, int height, const uint16_t* in,
                  uint8_t* out) {
    const ToneMap tone = toneMapFor(converter, plainToneKey(settings.display));
    const size_t stride = static_cast<size_t>(paddedWidth(width));
    const bool flip = (flags & QOR_CONVERT_FLIP) != 0;
    auto dest = [&](int y) { return out + static_cast<size_t>(flip ? height - 1 - y : y) * stride; };
    inBands(width, height, [&](int begin, int end) {
        displayRows(tone, sharpenMode(flags), width, height, in, begin, end, dest,
                    [&](int, uint8_t* row) { std::memset(row + width, 0, stride - static_cast<size_t>(width)); });
    });
}

void convertPseudo(Converter& converter, const Snapshot& settings, int flags, int width, int height, const uint16_t* in,
                   uint8_t* out) {
    const ToneMap tone = toneMapFor(converter, plainToneKey(settings.display));
    const int order = flags & QOR_CONVERT_ORDER_MASK;
    const bool rgb = order == QOR_CONVERT_RGB || order == QOR_CONVERT_RGBA;
    const int channels = (order == QOR_CONVERT_BGRA || order == QOR_CONVERT_RGBA) ? 4 : 3;
    // The table packed in output byte order, so that each pixel is one four-byte copy.
    std::array<uint32_t, 256> packed{};
    for (int i = 0; i < 256; ++i) {
        std::array<uint8_t, 3> rgb_entry = settings.lut ? settings.lut->rgb[static_cast<size_t>(i)]
                                                        : std::array<uint8_t, 3>{uint8_t(i), uint8_t(i), uint8_t(i)};
        const uint8_t bytes[4] = {rgb ? rgb_entry[0] : rgb_entry[2], rgb_entry[1], rgb ? rgb_entry[2] : rgb_entry[0],
                                  255};
        std::memcpy(&packed[static_cast<size_t>(i)], bytes, 4);
    }
    const size_t stride = channels == 4 ? 4 * static_cast<size_t>(width) : 3 * static_cast<size_t>(paddedWidth(width));
    const bool flip = (flags & QOR_CONVERT_FLIP) != 0;
    inBands(width, height, [&](int begin, int end) {
        displayRows(
            tone, sharpenMode(flags), width, height, in, begin, end, [](int) -> uint8_t* { return nullptr; },
            [&](int y, const uint8_t* index) {
                uint8_t* dst = out + static_cast<size_t>(flip ? height - 1 - y : y) * stride;
                pseudoColourRow(index, packed.data(), dst, width, channels);
                const size_t used = static_cast<size_t>(channels) * static_cast<size_t>(width);
                std::memset(dst + used, 0, stride - used);
            });
    });
}

}  // namespace qorsim::conv
