// Colour conversion of Bayer data, one row at a time. The rows around row y are kept in a ring,
// row y is demosaiced into three planes, white-balanced, colour-corrected and mapped to display
// values, sharpened through its luminance and interleaved into the (possibly flipped) output row.
// Where the settings allow, the per-channel part of that work is done on the mosaic itself, one
// value per pixel instead of three, and the demosaicing interpolates 8-bit display values (see
// ColourPath).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "sim/convert/conversions.h"
#include "sim/convert/kernels.h"
#include "sim/convert/row_bands.h"
#include "sim/convert/white_balance.h"

namespace qorsim::conv {
namespace {

constexpr size_t kStreamBytes = 8u << 20;  // outputs from this size on bypass the caches

// Rows by their index relative to the image (rows and columns outside it are reflected), each
// made by `fill(source row, destination)`. Holds rows y-2 to y+2.
template <typename T>
class RowRing {
public:
    explicit RowRing(int width, int height) : width_(width), height_(height) {
        for (auto& row : rows_) row = RowBuffer<T>(width);
    }

    template <typename Fill>
    void load(int v, Fill&& fill) {
        T* row = rows_[index(v)].row();
        fill(reflect(v, height_), row);
        for (int x : {-2, -1, width_, width_ + 1}) row[x] = row[reflect(x, width_)];
    }

    const T* row(int v) const { return rows_[index(v)].row(); }

private:
    static size_t index(int v) { return static_cast<size_t>(((v % 5) + 5) % 5); }

    int width_, height_;
    std::array<RowBuffer<T>, 5> rows_;
};

template <typename T>
struct Planes {
    explicit Planes(int width = 0) : r(width), g(width), b(width), y(width) {}
    RowBuffer<T> r, g, b, y;  // y: luminance, for sharpening
};

// Which colour the pixels of row y carry: S (red in a red row, blue in a blue row) at the
// column parity `site`, green at the other.
struct RowColours {
    bool red_row;
    int site;
};

RowColours rowColours(BayerPhase phase, int y) {
    const bool red_row = (y & 1) == phase.red_y;
    return {red_row, red_row ? phase.red_x : 1 - phase.red_x};
}

// Demosaics row y of the ring into the planes.
template <typename T>
void demosaic(const RowRing<T>& ring, bool gradient, BayerPhase phase, int y, T* r, T* g, T* b, int blocks) {
    const RowColours colours = rowColours(phase, y);
    T* s = colours.red_row ? r : b;
    T* o = colours.red_row ? b : r;
    if (gradient) {
        const T* rows[5] = {ring.row(y - 2), ring.row(y - 1), ring.row(y), ring.row(y + 1), ring.row(y + 2)};
        if constexpr (sizeof(T) == 1)
            demosaicGradientRow8(rows, colours.site, s, g, o, blocks);
        else
            demosaicGradientRow16(rows, colours.site, s, g, o, blocks);
    } else {
        const T* rows[3] = {ring.row(y - 1), ring.row(y), ring.row(y + 1)};
        if constexpr (sizeof(T) == 1)
            demosaicBilinearRow8(rows, colours.site, s, g, o, blocks);
        else
            demosaicBilinearRow16(rows, colours.site, s, g, o, blocks);
    }
}

// How the settings act on the pixels.
//  PerChannel: the colour matrix (with the saturation folded in) is diagonal and there is no
//    vibrance, so each output channel depends on its own input only; gain, clipping and matrix
//    fold into that channel's curve, which is applied to the mosaic.
//  DisplayMatrix: the display curve is affine (gamma 1). The white balance goes into the curves
//    applied to the mosaic, and the matrix M then acts on the demosaiced display values d as
//    z + M (d - z), z being the display value of the dark offset. For every colour inside the
//    display range this is the matrix on the sensor's values followed by the curve, up to the
//    rounding of the 8-bit values, which the matrix amplifies (two levels at most in practice).
//  Linear: everything else (gamma with a colour matrix, vibrance): demosaicing in the sensor's
//    units, white balance, matrix and vibrance in floating point, then the curves.
enum class ColourPath { PerChannel, DisplayMatrix, Linear };

struct ColourPlan {
    ColourPath path = ColourPath::Linear;
    ColourTransform transform;  // white balance and matrix in the sensor's units
    ToneKey keys[3];            // per channel: the curve applied to the mosaic or to the linear values
    DisplayMatrix matrix;       // for DisplayMatrix
};

ColourPlan planFor(const Snapshot& settings) {
    const SensorModel& sensor = settings.sensor;
    const DisplayParams& display = settings.display;
    ColourPlan plan;
    ColourTransform& t = plan.transform;
    const Gains gains = gainsFor(display.temperature, display.tint);
    const double channel_gain[3] = {gains.r, gains.g, gains.b};
    for (int c = 0; c < 3; ++c) t.gain[c] = static_cast<float>(channel_gain[c]);
    t.dark = static_cast<float>(sensor.dark);
    t.full = static_cast<float>(sensor.full);
    t.limit = static_cast<float>(sensor.full - sensor.dark);
    t.vibrance = static_cast<float>(display.vibrance / 100.0);
    // Saturation scales the distance from the luminance: S = k I + (1 - k) 1 w^T.
    const double k = 1.0 + display.saturation / 100.0;
    std::array<double, 9> m{};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) {
            double v = 0.0;
            for (int i = 0; i < 3; ++i) {
                const double s = (row == i ? k : 0.0) + (1.0 - k) * t.weight[i];
                v += s * sensor.ccm[static_cast<size_t>(3 * i + col)];
            }
            m[static_cast<size_t>(3 * row + col)] = v;
        }
    bool diagonal = true;
    for (size_t i = 0; i < 9; ++i) {
        t.matrix[i] = static_cast<float>(m[i]);
        if (i % 4 == 0 ? m[i] <= 0.0 : std::abs(m[i]) > 1e-9) diagonal = false;
    }
    const bool affine = display.gamma100 == 100 && display.max > display.min;
    if (t.vibrance == 0.0f)
        plan.path = diagonal ? ColourPath::PerChannel : (affine ? ColourPath::DisplayMatrix : ColourPath::Linear);

    for (int c = 0; c < 3; ++c) {
        ToneKey key = plainToneKey(display);
        if (plan.path != ColourPath::Linear) {
            const double scale = plan.path == ColourPath::PerChannel ? m[static_cast<size_t>(4 * c)] : 1.0;
            key.gain = channel_gain[c] * scale;
            key.clip_gain = channel_gain[c] * std::max(1.0, scale);
            key.dark = sensor.dark;
            key.full = sensor.full;
        }
        plan.keys[c] = key;
    }
    if (plan.path == ColourPath::DisplayMatrix) {
        const double f = 1.0 + display.contrast / 100.0;
        const double z =
            255.0 * f * (sensor.dark - display.min) / (double(display.max) - display.min) + 127.5 * (1.0 - f);
        for (size_t row = 0; row < 3; ++row) {
            double sum = 0.0;
            for (size_t col = 0; col < 3; ++col) {
                plan.matrix.m[3 * row + col] = static_cast<float>(m[3 * row + col]);
                sum += m[3 * row + col];
            }
            plan.matrix.c[row] = static_cast<float>(z * (1.0 - sum));
        }
        plan.matrix.lo = static_cast<int>(std::floor(toneValue(plan.keys[0], 0) + 0.5));
        plan.matrix.hi = static_cast<int>(std::floor(toneValue(plan.keys[0], 65535) + 0.5));
    }
    return plan;
}

template <typename T>
void repeatEdges(T* row, int width) {
    row[-1] = row[0];
    row[width] = row[width - 1];
}

}  // namespace

void convertColour8(Converter& converter, const Snapshot& settings, int flags, int color_mode, int width, int height,
                    const uint16_t* in, uint8_t* out) {
    const ColourPlan plan = planFor(settings);
    const ToneMap tones[3] = {toneMapFor(converter, plan.keys[0]), toneMapFor(converter, plan.keys[1]),
                              toneMapFor(converter, plan.keys[2])};
    const int order = flags & QOR_CONVERT_ORDER_MASK;
    const bool rgb = order == QOR_CONVERT_RGB || order == QOR_CONVERT_RGBA;
    const int channels = (order == QOR_CONVERT_BGRA || order == QOR_CONVERT_RGBA) ? 4 : 3;
    const size_t stride = channels == 4 ? 4 * static_cast<size_t>(width) : 3 * static_cast<size_t>(paddedWidth(width));
    const bool flip = (flags & QOR_CONVERT_FLIP) != 0;
    const bool gradient = (flags & QOR_CONVERT_ALT_DEBAYER) != 0;
    const Sharpen sharpen = sharpenMode(flags);
    const BayerPhase phase = bayerPhase(color_mode);
    const int blocks = blocksFor(width);
    const int radius = gradient ? 2 : 1;
    const size_t row_length = static_cast<size_t>(width);
    // An output larger than the caches can hold is written around them.
    const bool stream = stride * static_cast<size_t>(height) >= kStreamBytes;

    const bool on_mosaic = plan.path != ColourPath::Linear;
    // Each band of rows has its own rings and row buffers.
    auto rows = [&](int begin, int end) {
    // Display values of the mosaic, each pixel through its own channel's curve.
    RowRing<uint8_t> mosaic(on_mosaic ? width : 0, height);
    auto mosaicRow = [&](int sy, uint8_t* row) {
        const RowColours colours = rowColours(phase, sy);
        const ToneMap& coloured = tones[colours.red_row ? 0 : 2];
        const ToneMap& green = tones[1];
        toneRowPair(in + static_cast<size_t>(sy) * row_length, row, width, colours.site == 0 ? coloured : green,
                    colours.site == 0 ? green : coloured);
    };
    // Or the raw rows, for the linear path.
    RowRing<uint16_t> raw(on_mosaic ? 0 : width, height);
    Planes<uint16_t> linear(on_mosaic ? 0 : width);
    auto rawRow = [&](int sy, uint16_t* row) {
        std::memcpy(row, in + static_cast<size_t>(sy) * row_length, row_length * sizeof(uint16_t));
    };
    auto load = [&](int v) {
        if (on_mosaic)
            mosaic.load(v, mosaicRow);
        else
            raw.load(v, rawRow);
    };
    // A band starts with the row before it (for the sharpening), and that row's neighbours.
    const int first = begin > 0 ? begin - 1 : 0;
    for (int v = first - radius; v < first + radius; ++v) load(v);

    std::array<Planes<uint8_t>, 3> ring{Planes<uint8_t>(width), Planes<uint8_t>(width), Planes<uint8_t>(width)};
    RowBuffer<uint8_t> sharp(width);

    auto produce = [&](int y) {
        prefetchRow(in, width, height, y + radius + kPrefetchRows);
        load(y + radius);
        Planes<uint8_t>& p = ring[static_cast<size_t>(y % 3)];
        if (on_mosaic) {
            demosaic(mosaic, gradient, phase, y, p.r.row(), p.g.row(), p.b.row(), blocks);
            if (plan.path == ColourPath::DisplayMatrix)
                displayMatrixRow(p.r.row(), p.g.row(), p.b.row(), plan.matrix, blocks);
        } else {
            demosaic(raw, gradient, phase, y, linear.r.row(), linear.g.row(), linear.b.row(), blocks);
            colourTransformRow(linear.r.row(), linear.g.row(), linear.b.row(), plan.transform, blocks);
            toneRow(linear.r.row(), p.r.row(), blocks * kBlock, tones[0]);
            toneRow(linear.g.row(), p.g.row(), blocks * kBlock, tones[1]);
            toneRow(linear.b.row(), p.b.row(), blocks * kBlock, tones[2]);
        }
        if (sharpen != Sharpen::Off) {
            lumaRow8(p.r.row(), p.g.row(), p.b.row(), p.y.row(), blocks);
            repeatEdges(p.y.row(), width);
        }
    };
    auto luma = [&](int y) { return ring[static_cast<size_t>(std::clamp(y, 0, height - 1) % 3)].y.row(); };
    auto emit = [&](int y) {
        const Planes<uint8_t>& p = ring[static_cast<size_t>(y % 3)];
        const uint8_t* c0 = rgb ? p.r.row() : p.b.row();
        const uint8_t* c2 = rgb ? p.b.row() : p.r.row();
        uint8_t* dst = out + static_cast<size_t>(flip ? height - 1 - y : y) * stride;
        if (sharpen == Sharpen::Off) {
            interleaveRow8(c0, p.g.row(), c2, nullptr, nullptr, dst, width, channels, stream);
        } else {
            if (sharpen == Sharpen::Adaptive)
                adaptiveSharpenRow8(luma(y - 1), luma(y), luma(y + 1), sharp.row(), blocks, kCoring8, kOvershoot8);
            else
                sharpenRow8(luma(y - 1), luma(y), luma(y + 1), sharp.row(), blocks);
            interleaveRow8(c0, p.g.row(), c2, sharp.row(), p.y.row(), dst, width, channels, stream);
        }
        if (channels == 3) std::memset(dst + 3 * row_length, 0, stride - 3 * row_length);
    };

    produce(first);
    if (first < begin) produce(begin);
    for (int y = begin; y < end; ++y) {
        // Sharpening needs the luminance of the next row before this one is written.
        if (y + 1 < height) produce(y + 1);
        emit(y);
    }
    };
    inBands(width, height, rows);
}

void convertColour16(const Snapshot& settings, int flags, int color_mode, int width, int height, const uint16_t* in,
                     uint16_t* out) {
    const ColourPlan plan = planFor(settings);
    const bool rgb = (flags & QOR_CONVERT_RGB) != 0;
    const size_t stride = 3 * static_cast<size_t>(paddedWidth(width));
    const bool flip = (flags & QOR_CONVERT_FLIP) != 0;
    const bool gradient = (flags & QOR_CONVERT_ALT_DEBAYER) != 0;
    const Sharpen sharpen = sharpenMode(flags);
    const BayerPhase phase = bayerPhase(color_mode);
    const int blocks = blocksFor(width);
    const int radius = gradient ? 2 : 1;
    // The adaptive sharpener's limits in display levels of the sensor's range.
    const uint16_t coring = static_cast<uint16_t>(std::max(1, settings.sensor.full * kCoring8 / 255));
    const uint16_t overshoot = static_cast<uint16_t>(std::max(1, settings.sensor.full * kOvershoot8 / 255));
    const uint16_t full = static_cast<uint16_t>(settings.sensor.full);

    RowRing<uint16_t> raw(width, height);
    auto rawRow = [&](int sy, uint16_t* row) {
        std::memcpy(row, in + static_cast<size_t>(sy) * static_cast<size_t>(width),
                    static_cast<size_t>(width) * sizeof(uint16_t));
    };
    for (int v = -radius; v < radius; ++v) raw.load(v, rawRow);
    std::array<Planes<uint16_t>, 3> ring{Planes<uint16_t>(width), Planes<uint16_t>(width), Planes<uint16_t>(width)};
    RowBuffer<uint16_t> sharp(width);

    auto produce = [&](int y) {
        prefetchRow(in, width, height, y + radius + kPrefetchRows);
        raw.load(y + radius, rawRow);
        Planes<uint16_t>& p = ring[static_cast<size_t>(y % 3)];
        demosaic(raw, gradient, phase, y, p.r.row(), p.g.row(), p.b.row(), blocks);
        colourTransformRow(p.r.row(), p.g.row(), p.b.row(), plan.transform, blocks);
        if (sharpen != Sharpen::Off) {
            lumaRow16(p.r.row(), p.g.row(), p.b.row(), p.y.row(), blocks);
            repeatEdges(p.y.row(), width);
        }
    };
    auto luma = [&](int y) { return ring[static_cast<size_t>(std::clamp(y, 0, height - 1) % 3)].y.row(); };
    auto emit = [&](int y) {
        Planes<uint16_t>& p = ring[static_cast<size_t>(y % 3)];
        if (sharpen != Sharpen::Off) {
            if (sharpen == Sharpen::Adaptive)
                adaptiveSharpenRow16(luma(y - 1), luma(y), luma(y + 1), sharp.row(), blocks, coring, overshoot);
            else
                sharpenRow16(luma(y - 1), luma(y), luma(y + 1), sharp.row(), blocks);
            for (uint16_t* plane : {p.r.row(), p.g.row(), p.b.row()}) {
                addDetailRow16(plane, sharp.row(), p.y.row(), blocks);
                // Sharpening must not leave the sensor's range.
                for (int x = 0; x < width; ++x) plane[x] = std::min(plane[x], full);
            }
        }
        const uint16_t* c0 = rgb ? p.r.row() : p.b.row();
        const uint16_t* c2 = rgb ? p.b.row() : p.r.row();
        uint16_t* dst = out + static_cast<size_t>(flip ? height - 1 - y : y) * stride;
        interleave3Row16(c0, p.g.row(), c2, dst, width);
        std::fill(dst + 3 * static_cast<size_t>(width), dst + stride, uint16_t{0});
    };

    produce(0);
    for (int y = 0; y < height; ++y) {
        if (y + 1 < height) produce(y + 1);
        emit(y);
    }
}

}  // namespace qorsim::conv
