#include "sim/convert/kernels.h"

#include <cstring>

#include "sim/convert/kernel_support.h"

namespace qorsim::conv {
namespace {

template <typename T>
QORSIM_INLINE void sharpenBody(const T* up, const T* mid, const T* down, T* out, int blocks) {
    for (int b = 0; b < blocks; ++b) {
        const T* __restrict u = up + b * kBlock;
        const T* __restrict m = mid + b * kBlock;
        const T* __restrict d = down + b * kBlock;
        T* __restrict o = out + b * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            const T c = m[i];
            const T blur = averageDown(average(u[i], d[i]), average(m[i - 1], m[i + 1]));
            o[i] = subSat(addSat(c, subSat(c, blur)), subSat(blur, c));
        }
    }
}

template <typename T>
QORSIM_INLINE void adaptiveSharpenBody(const T* up, const T* mid, const T* down, T* out, int blocks, T coring,
                                       T overshoot) {
    for (int b = 0; b < blocks; ++b) {
        const T* __restrict u = up + b * kBlock;
        const T* __restrict m = mid + b * kBlock;
        const T* __restrict d = down + b * kBlock;
        T* __restrict o = out + b * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            const T c = m[i], n = u[i], s = d[i], l = m[i - 1], r = m[i + 1];
            const T blur = averageDown(average(n, s), average(l, r));
            const T up_detail = subSat(subSat(c, blur), coring);
            const T down_detail = subSat(subSat(blur, c), coring);
            T v = subSat(addSat(c, up_detail), down_detail);
            const T lo = std::min(std::min(std::min(n, s), std::min(l, r)), c);
            const T hi = std::max(std::max(std::max(n, s), std::max(l, r)), c);
            o[i] = std::max(std::min(v, addSat(hi, overshoot)), subSat(lo, overshoot));
        }
    }
}

template <typename T>
QORSIM_INLINE void lumaBody(const T* r, const T* g, const T* b, T* y, int blocks) {
    for (int k = 0; k < blocks; ++k) {
        const T* __restrict rr = r + k * kBlock;
        const T* __restrict gg = g + k * kBlock;
        const T* __restrict bb = b + k * kBlock;
        T* __restrict yy = y + k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) yy[i] = averageDown(average(rr[i], bb[i]), gg[i]);
    }
}

template <typename T>
QORSIM_INLINE void addDetailBody(T* c, const T* sharp, const T* soft, int blocks) {
    for (int k = 0; k < blocks; ++k) {
        T* __restrict cc = c + k * kBlock;
        const T* __restrict sh = sharp + k * kBlock;
        const T* __restrict so = soft + k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) cc[i] = subSat(addSat(cc[i], subSat(sh[i], so[i])), subSat(so[i], sh[i]));
    }
}

template <typename T>
QORSIM_INLINE void interleave3Body(const T* c0, const T* c1, const T* c2, T* out, int n) {
    const int full = n / kBlock;
    for (int k = 0; k < full; ++k) {
        const T* __restrict a = c0 + k * kBlock;
        const T* __restrict b = c1 + k * kBlock;
        const T* __restrict c = c2 + k * kBlock;
        T* __restrict o = out + 3 * k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            o[3 * i] = a[i];
            o[3 * i + 1] = b[i];
            o[3 * i + 2] = c[i];
        }
    }
    for (int x = full * kBlock; x < n; ++x) {
        out[3 * x] = c0[x];
        out[3 * x + 1] = c1[x];
        out[3 * x + 2] = c2[x];
    }
}

// Bilinear: the missing colours are the means of the nearest pixels that carry them.
template <typename T>
QORSIM_INLINE void bilinearBody(const T* const rows[3], int parity, T* s, T* g, T* o, int blocks) {
    for (int k = 0; k < blocks; ++k) {
        const T* __restrict up = rows[0] + k * kBlock;
        const T* __restrict mid = rows[1] + k * kBlock;
        const T* __restrict down = rows[2] + k * kBlock;
        T* __restrict so = s + k * kBlock;
        T* __restrict go = g + k * kBlock;
        T* __restrict oo = o + k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            const T c = mid[i];
            const T horizontal = average(mid[i - 1], mid[i + 1]);
            const T vertical = average(up[i], down[i]);
            const T cross = averageDown(horizontal, vertical);
            const T diagonal = averageDown(average(up[i - 1], up[i + 1]), average(down[i - 1], down[i + 1]));
            const bool site = (i & 1) == parity;
            so[i] = pick(site, c, horizontal);
            go[i] = pick(site, cross, c);
            oo[i] = pick(site, diagonal, vertical);
        }
    }
}

// Sixteenths back to the element type, rounded and clamped.
template <typename T, typename Acc>
QORSIM_INLINE T fromSixteenths(Acc v) {
    constexpr Acc kMax = static_cast<Acc>(static_cast<T>(~T{0}));
    return static_cast<T>(std::min(std::max(static_cast<Acc>((v + 8) >> 4), Acc{0}), kMax));
}

// Gradient-corrected: bilinear estimates plus a share of the Laplacian of the colour at the
// centre, with the coefficients of Malvar, He and Cutler in sixteenths. Acc holds 28 times the
// largest value with its sign.
template <typename T, typename Acc>
QORSIM_INLINE void gradientBody(const T* const rows[5], int parity, T* s, T* g, T* o, int blocks) {
    for (int k = 0; k < blocks; ++k) {
        const T* __restrict u2 = rows[0] + k * kBlock;
        const T* __restrict u1 = rows[1] + k * kBlock;
        const T* __restrict m = rows[2] + k * kBlock;
        const T* __restrict d1 = rows[3] + k * kBlock;
        const T* __restrict d2 = rows[4] + k * kBlock;
        T* __restrict so = s + k * kBlock;
        T* __restrict go = g + k * kBlock;
        T* __restrict oo = o + k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            const Acc c = m[i];
            const Acc n1 = u1[i], s1 = d1[i], l1 = m[i - 1], r1 = m[i + 1];
            const Acc n2 = u2[i], s2 = d2[i], l2 = m[i - 2], r2 = m[i + 2];
            const Acc diagonal = static_cast<Acc>(Acc(u1[i - 1]) + Acc(u1[i + 1]) + Acc(d1[i - 1]) + Acc(d1[i + 1]));
            const Acc cross = static_cast<Acc>(n1 + s1 + l1 + r1), far = static_cast<Acc>(n2 + s2 + l2 + r2);
            const Acc green_at_site = static_cast<Acc>(8 * c + 4 * cross - 2 * far);
            const Acc opposite_at_site = static_cast<Acc>(12 * c + 4 * diagonal - 3 * far);
            const Acc row_colour = static_cast<Acc>(10 * c + 8 * (l1 + r1) - 2 * (l2 + r2) + (n2 + s2) - 2 * diagonal);
            const Acc column_colour =
                static_cast<Acc>(10 * c + 8 * (n1 + s1) - 2 * (n2 + s2) + (l2 + r2) - 2 * diagonal);
            const bool site = (i & 1) == parity;
            so[i] = pick(site, static_cast<T>(c), fromSixteenths<T>(row_colour));
            go[i] = pick(site, fromSixteenths<T>(green_at_site), static_cast<T>(c));
            oo[i] = pick(site, fromSixteenths<T>(opposite_at_site), fromSixteenths<T>(column_colour));
        }
    }
}

// White balance above the dark offset, clipped at full scale before the colours mix; then the
// colour matrix and the vibrance. The result is relative to the dark offset.
template <bool Vibrance>
QORSIM_INLINE void colourPixel(const ColourTransform& t, float r, float g, float b, float& o0, float& o1, float& o2) {
    const float u0 = minf(maxf((r - t.dark) * t.gain[0], 0.0f), t.limit);
    const float u1 = minf(maxf((g - t.dark) * t.gain[1], 0.0f), t.limit);
    const float u2 = minf(maxf((b - t.dark) * t.gain[2], 0.0f), t.limit);
    o0 = t.matrix[0] * u0 + t.matrix[1] * u1 + t.matrix[2] * u2;
    o1 = t.matrix[3] * u0 + t.matrix[4] * u1 + t.matrix[5] * u2;
    o2 = t.matrix[6] * u0 + t.matrix[7] * u1 + t.matrix[8] * u2;
    if constexpr (Vibrance) {
        // Raises (or lowers) the chroma most where the colour is still weak.
        const float luma = t.weight[0] * o0 + t.weight[1] * o1 + t.weight[2] * o2;
        const float hi = maxf(maxf(o0, o1), o2);
        const float lo = minf(minf(o0, o1), o2);
        const float saturation = hi > 1.0f ? (hi - lo) / hi : 0.0f;
        const float factor = 1.0f + t.vibrance * (1.0f - minf(saturation, 1.0f));
        o0 = luma + (o0 - luma) * factor;
        o1 = luma + (o1 - luma) * factor;
        o2 = luma + (o2 - luma) * factor;
    }
}

template <bool Vibrance>
QORSIM_INLINE void colourBody(uint16_t* r, uint16_t* g, uint16_t* b, const ColourTransform& transform, int blocks) {
    const ColourTransform t = transform;  // a local copy, which the compiler keeps in registers
    const float low = -t.dark, high = t.full - t.dark;
    for (int k = 0; k < blocks; ++k) {
        uint16_t* __restrict rr = r + k * kBlock;
        uint16_t* __restrict gg = g + k * kBlock;
        uint16_t* __restrict bb = b + k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            float o0, o1, o2;
            colourPixel<Vibrance>(t, rr[i], gg[i], bb[i], o0, o1, o2);
            rr[i] = static_cast<uint16_t>(minf(maxf(o0, low), high) + t.dark + 0.5f);
            gg[i] = static_cast<uint16_t>(minf(maxf(o1, low), high) + t.dark + 0.5f);
            bb[i] = static_cast<uint16_t>(minf(maxf(o2, low), high) + t.dark + 0.5f);
        }
    }
}

}  // namespace

QORSIM_KERNEL void sharpenRow8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out, int blocks) {
    sharpenBody(up, mid, down, out, blocks);
}

QORSIM_KERNEL void adaptiveSharpenRow8Generic(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out,
                                              int blocks, uint8_t coring, uint8_t overshoot) {
    adaptiveSharpenBody(up, mid, down, out, blocks, coring, overshoot);
}

QORSIM_KERNEL void sharpenRow16(const uint16_t* up, const uint16_t* mid, const uint16_t* down, uint16_t* out,
                                int blocks) {
    sharpenBody(up, mid, down, out, blocks);
}

QORSIM_KERNEL void adaptiveSharpenRow16(const uint16_t* up, const uint16_t* mid, const uint16_t* down, uint16_t* out,
                                        int blocks, uint16_t coring, uint16_t overshoot) {
    adaptiveSharpenBody(up, mid, down, out, blocks, coring, overshoot);
}

QORSIM_KERNEL void lumaRow8(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* y, int blocks) {
    lumaBody(r, g, b, y, blocks);
}

QORSIM_KERNEL void lumaRow16(const uint16_t* r, const uint16_t* g, const uint16_t* b, uint16_t* y, int blocks) {
    lumaBody(r, g, b, y, blocks);
}

QORSIM_KERNEL void addDetailRow16(uint16_t* c, const uint16_t* sharp, const uint16_t* soft, int blocks) {
    addDetailBody(c, sharp, soft, blocks);
}

QORSIM_KERNEL void interleave3Row16(const uint16_t* c0, const uint16_t* c1, const uint16_t* c2, uint16_t* out, int n) {
    interleave3Body(c0, c1, c2, out, n);
}

QORSIM_KERNEL void demosaicBilinearRow8(const uint8_t* const rows[3], int site, uint8_t* s, uint8_t* g, uint8_t* o,
                                        int blocks) {
    bilinearBody(rows, site & 1, s, g, o, blocks);
}

QORSIM_KERNEL void demosaicBilinearRow16(const uint16_t* const rows[3], int site, uint16_t* s, uint16_t* g, uint16_t* o,
                                         int blocks) {
    bilinearBody(rows, site & 1, s, g, o, blocks);
}

QORSIM_KERNEL void demosaicGradientRow8(const uint8_t* const rows[5], int site, uint8_t* s, uint8_t* g, uint8_t* o,
                                        int blocks) {
    gradientBody<uint8_t, int16_t>(rows, site & 1, s, g, o, blocks);
}

QORSIM_KERNEL void demosaicGradientRow16(const uint16_t* const rows[5], int site, uint16_t* s, uint16_t* g, uint16_t* o,
                                         int blocks) {
    gradientBody<uint16_t, int32_t>(rows, site & 1, s, g, o, blocks);
}

QORSIM_KERNEL void colourTransformRow(uint16_t* r, uint16_t* g, uint16_t* b, const ColourTransform& t, int blocks) {
    if (t.vibrance != 0.0f)
        colourBody<true>(r, g, b, t, blocks);
    else
        colourBody<false>(r, g, b, t, blocks);
}

void pseudoColourRow(const uint8_t* index, const uint32_t* lut, uint8_t* out, int n, int channels) {
    if (channels == 4) {
        for (int x = 0; x < n; ++x) std::memcpy(out + 4 * x, &lut[index[x]], 4);
        return;
    }
    // Four-byte stores that overlap the next pixel are cheaper than three single bytes.
    int x = 0;
    for (; x + 1 < n; ++x) std::memcpy(out + 3 * x, &lut[index[x]], 4);
    for (; x < n; ++x) std::memcpy(out + 3 * x, &lut[index[x]], 3);
}

}  // namespace qorsim::conv
