// Kernels that processors with AVX2 run as hand-written vector code, with portable loops for the
// others: interleaving of three 8-bit planes into the packed output rows (the compiler's own
// vectorisation spills its shuffle masks), the colour matrix on display values (16-bit fixed
// point: twice the throughput of single-precision floats) and the adaptive sharpener on bytes
// (the compiler does not use the saturating byte instructions).
#include <cmath>
#include <cstring>

#include "sim/convert/kernel_support.h"
#include "sim/convert/kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qorsim::conv {
namespace {

template <int Channels, bool Detail>
QORSIM_INLINE void interleavePixel(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp,
                                   const uint8_t* soft, uint8_t* out, int x) {
    uint8_t up = 0, down = 0;
    if constexpr (Detail) {
        up = subSat(sharp[x], soft[x]);
        down = subSat(soft[x], sharp[x]);
    }
    out[Channels * x] = subSat(addSat(c0[x], up), down);
    out[Channels * x + 1] = subSat(addSat(c1[x], up), down);
    out[Channels * x + 2] = subSat(addSat(c2[x], up), down);
    if constexpr (Channels == 4) out[Channels * x + 3] = 255;
}

template <int Channels, bool Detail>
QORSIM_INLINE void genericBody(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp,
                               const uint8_t* soft, uint8_t* out, int n) {
    const int full = n / kBlock;
    for (int k = 0; k < full; ++k) {
        const uint8_t* __restrict a = c0 + k * kBlock;
        const uint8_t* __restrict b = c1 + k * kBlock;
        const uint8_t* __restrict c = c2 + k * kBlock;
        const uint8_t* __restrict sh = Detail ? sharp + k * kBlock : nullptr;
        const uint8_t* __restrict so = Detail ? soft + k * kBlock : nullptr;
        uint8_t* __restrict o = out + Channels * k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) interleavePixel<Channels, Detail>(a, b, c, sh, so, o, i);
    }
    for (int x = full * kBlock; x < n; ++x) interleavePixel<Channels, Detail>(c0, c1, c2, sharp, soft, out, x);
}

QORSIM_KERNEL void generic3(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, uint8_t* out, int n) {
    genericBody<3, false>(c0, c1, c2, nullptr, nullptr, out, n);
}
QORSIM_KERNEL void generic3Detail(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp,
                                  const uint8_t* soft, uint8_t* out, int n) {
    genericBody<3, true>(c0, c1, c2, sharp, soft, out, n);
}
QORSIM_KERNEL void generic4(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, uint8_t* out, int n) {
    genericBody<4, false>(c0, c1, c2, nullptr, nullptr, out, n);
}
QORSIM_KERNEL void generic4Detail(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp,
                                  const uint8_t* soft, uint8_t* out, int n) {
    genericBody<4, true>(c0, c1, c2, sharp, soft, out, n);
}

QORSIM_KERNEL void genericMatrix(uint8_t* r, uint8_t* g, uint8_t* b, const DisplayMatrix& matrix, int blocks) {
    const DisplayMatrix m = matrix;
    const float lo = static_cast<float>(m.lo) + 0.5f, hi = static_cast<float>(m.hi) + 0.5f;
    for (int k = 0; k < blocks; ++k) {
        uint8_t* __restrict rr = r + k * kBlock;
        uint8_t* __restrict gg = g + k * kBlock;
        uint8_t* __restrict bb = b + k * kBlock;
#pragma GCC ivdep
        for (int i = 0; i < kBlock; ++i) {
            const float d0 = rr[i], d1 = gg[i], d2 = bb[i];
            rr[i] = static_cast<uint8_t>(minf(maxf(m.m[0] * d0 + m.m[1] * d1 + m.m[2] * d2 + m.c[0] + 0.5f, lo), hi));
            gg[i] = static_cast<uint8_t>(minf(maxf(m.m[3] * d0 + m.m[4] * d1 + m.m[5] * d2 + m.c[1] + 0.5f, lo), hi));
            bb[i] = static_cast<uint8_t>(minf(maxf(m.m[6] * d0 + m.m[7] * d1 + m.m[8] * d2 + m.c[2] + 0.5f, lo), hi));
        }
    }
}

#if defined(__x86_64__)
// Display values times 128 against coefficients in 1/8192: the rounding high multiplication
// gives 32 times the product, for coefficients below 4 in magnitude. Sums saturate, which only
// matters far outside the output range.
struct MatrixConstants {
    __m256i coefficient[9];
    __m256i offset[3];  // 32 times the constant
    __m256i lo, hi;
};

template <bool Offset, bool Clamp>
__attribute__((target("avx2"), always_inline)) inline __m256i matrixChannel(const MatrixConstants& k, int row,
                                                                            __m256i r, __m256i g, __m256i b) {
    __m256i sum = _mm256_adds_epi16(_mm256_mulhrs_epi16(r, k.coefficient[3 * row]),
                                    _mm256_mulhrs_epi16(g, k.coefficient[3 * row + 1]));
    sum = _mm256_adds_epi16(sum, _mm256_mulhrs_epi16(b, k.coefficient[3 * row + 2]));
    if constexpr (Offset) sum = _mm256_adds_epi16(sum, k.offset[row]);
    // A rounding division by 32: (sum * 1024 + 2^14) >> 15.
    sum = _mm256_mulhrs_epi16(sum, _mm256_set1_epi16(1024));
    if constexpr (Clamp) sum = _mm256_min_epi16(_mm256_max_epi16(sum, k.lo), k.hi);
    return sum;  // the final pack clamps to 0..255
}

template <bool Offset, bool Clamp>
__attribute__((target("avx2"))) void avx2Matrix(uint8_t* r, uint8_t* g, uint8_t* b, const MatrixConstants& k,
                                                int blocks) {
    const __m256i zero = _mm256_setzero_si256();
    const int n = blocks * kBlock;
    uint8_t* planes[3] = {r, g, b};
    for (int x = 0; x < n; x += 32) {
        // Unpacking against zero widens each 128-bit lane in place; packing puts it back.
        __m256i lo[3], hi[3];
        for (int c = 0; c < 3; ++c) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes[c] + x));
            lo[c] = _mm256_slli_epi16(_mm256_unpacklo_epi8(v, zero), 7);
            hi[c] = _mm256_slli_epi16(_mm256_unpackhi_epi8(v, zero), 7);
        }
        __m256i out[3];
        for (int row = 0; row < 3; ++row)
            out[row] = _mm256_packus_epi16(matrixChannel<Offset, Clamp>(k, row, lo[0], lo[1], lo[2]),
                                           matrixChannel<Offset, Clamp>(k, row, hi[0], hi[1], hi[2]));
        for (int row = 0; row < 3; ++row) _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[row] + x), out[row]);
    }
}

__attribute__((target("avx2"))) void avx2MatrixRow(uint8_t* r, uint8_t* g, uint8_t* b, const DisplayMatrix& m,
                                                   int blocks) {
    MatrixConstants k;
    bool offset = false;
    for (int i = 0; i < 9; ++i) k.coefficient[i] = _mm256_set1_epi16(static_cast<short>(std::lround(m.m[i] * 8192.0f)));
    for (int i = 0; i < 3; ++i) {
        const long c = std::lround(m.c[i] * 32.0f);
        offset = offset || c != 0;
        k.offset[i] = _mm256_set1_epi16(static_cast<short>(c));
    }
    k.lo = _mm256_set1_epi16(static_cast<short>(m.lo));
    k.hi = _mm256_set1_epi16(static_cast<short>(m.hi));
    const bool clamp = m.lo > 0 || m.hi < 255;
    if (offset)
        clamp ? avx2Matrix<true, true>(r, g, b, k, blocks) : avx2Matrix<true, false>(r, g, b, k, blocks);
    else
        clamp ? avx2Matrix<false, true>(r, g, b, k, blocks) : avx2Matrix<false, false>(r, g, b, k, blocks);
}

// Shuffle masks that place 16 pixels of each plane into three 16-byte output vectors.
struct ShuffleMasks {
    alignas(16) uint8_t mask[3][3][16];  // output vector, plane, byte
    ShuffleMasks() {
        for (int k = 0; k < 3; ++k)
            for (int plane = 0; plane < 3; ++plane)
                for (int j = 0; j < 16; ++j) {
                    const int pos = 16 * k + j;
                    mask[k][plane][j] = pos % 3 == plane ? static_cast<uint8_t>(pos / 3) : 0x80;
                }
    }
};

const ShuffleMasks& shuffleMasks() {
    static const ShuffleMasks masks;
    return masks;
}

template <bool Stream>
__attribute__((target("avx2"), always_inline)) inline void store(uint8_t* p, __m256i v) {
    if constexpr (Stream)
        _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    else
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// Loads 32 pixels of the three planes, with the luminance detail added when asked for.
template <bool Detail>
__attribute__((target("avx2"), always_inline)) inline void loadPlanes(const uint8_t* c0, const uint8_t* c1,
                                                                      const uint8_t* c2, const uint8_t* sharp,
                                                                      const uint8_t* soft, int x, __m256i& a,
                                                                      __m256i& b, __m256i& c) {
    a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c0 + x));
    b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c1 + x));
    c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c2 + x));
    if constexpr (Detail) {
        const __m256i sh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sharp + x));
        const __m256i so = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(soft + x));
        const __m256i up = _mm256_subs_epu8(sh, so), down = _mm256_subs_epu8(so, sh);
        a = _mm256_subs_epu8(_mm256_adds_epu8(a, up), down);
        b = _mm256_subs_epu8(_mm256_adds_epu8(b, up), down);
        c = _mm256_subs_epu8(_mm256_adds_epu8(c, up), down);
    }
}

// Pixels before the first whose output address is 32-byte aligned, for streaming stores. Three
// bytes a pixel: 3 * 11 = 1 (mod 32) inverts the step. Four bytes need a 4-byte aligned row.
template <int Channels>
int alignedStart(const uint8_t* out, int n, bool& stream) {
    const int misalignment = static_cast<int>((32 - (reinterpret_cast<uintptr_t>(out) & 31)) & 31);
    int head = 0;
    if constexpr (Channels == 3) {
        head = misalignment * 11 % 32;
    } else {
        if (misalignment % 4 != 0) stream = false;
        head = stream ? misalignment / 4 : 0;
    }
    return stream ? std::min(head, n) : 0;
}

template <bool Detail, bool Stream>
__attribute__((target("avx2"))) void avx2Three(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2,
                                               const uint8_t* sharp, const uint8_t* soft, uint8_t* out, int x, int n) {
    const ShuffleMasks& m = shuffleMasks();
    __m256i mask[3][3];
    for (int k = 0; k < 3; ++k)
        for (int plane = 0; plane < 3; ++plane)
            mask[k][plane] =
                _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(m.mask[k][plane])));
    for (; x + 32 <= n; x += 32) {
        __m256i a, b, c;
        loadPlanes<Detail>(c0, c1, c2, sharp, soft, x, a, b, c);
        __m256i v[3];
        for (int k = 0; k < 3; ++k)
            v[k] =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, mask[k][0]), _mm256_shuffle_epi8(b, mask[k][1])),
                                _mm256_shuffle_epi8(c, mask[k][2]));
        // The shuffles work per 128-bit lane: low lanes hold pixels x to x + 15, high lanes the rest.
        uint8_t* o = out + 3 * x;
        store<Stream>(o, _mm256_permute2x128_si256(v[0], v[1], 0x20));
        store<Stream>(o + 32, _mm256_permute2x128_si256(v[2], v[0], 0x30));
        store<Stream>(o + 64, _mm256_permute2x128_si256(v[1], v[2], 0x31));
    }
    if constexpr (Stream) _mm_sfence();
    for (; x < n; ++x) interleavePixel<3, Detail>(c0, c1, c2, sharp, soft, out, x);
}

template <bool Detail, bool Stream>
__attribute__((target("avx2"))) void avx2Four(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2,
                                              const uint8_t* sharp, const uint8_t* soft, uint8_t* out, int x, int n) {
    const __m256i alpha = _mm256_set1_epi8(static_cast<char>(0xFF));
    for (; x + 32 <= n; x += 32) {
        __m256i a, b, c;
        loadPlanes<Detail>(c0, c1, c2, sharp, soft, x, a, b, c);
        const __m256i ab_lo = _mm256_unpacklo_epi8(a, b), ab_hi = _mm256_unpackhi_epi8(a, b);
        const __m256i ca_lo = _mm256_unpacklo_epi8(c, alpha), ca_hi = _mm256_unpackhi_epi8(c, alpha);
        // Per 128-bit lane: pixels 0-3, 4-7, 8-11, 12-15 of that lane's sixteen.
        const __m256i p0 = _mm256_unpacklo_epi16(ab_lo, ca_lo), p1 = _mm256_unpackhi_epi16(ab_lo, ca_lo);
        const __m256i p2 = _mm256_unpacklo_epi16(ab_hi, ca_hi), p3 = _mm256_unpackhi_epi16(ab_hi, ca_hi);
        uint8_t* o = out + 4 * x;
        store<Stream>(o, _mm256_permute2x128_si256(p0, p1, 0x20));
        store<Stream>(o + 32, _mm256_permute2x128_si256(p2, p3, 0x20));
        store<Stream>(o + 64, _mm256_permute2x128_si256(p0, p1, 0x31));
        store<Stream>(o + 96, _mm256_permute2x128_si256(p2, p3, 0x31));
    }
    if constexpr (Stream) _mm_sfence();
    for (; x < n; ++x) interleavePixel<4, Detail>(c0, c1, c2, sharp, soft, out, x);
}

template <int Channels, bool Detail>
void avx2Row(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp, const uint8_t* soft,
             uint8_t* out, int n, bool stream) {
    const int head = alignedStart<Channels>(out, n, stream);
    for (int x = 0; x < head; ++x) interleavePixel<Channels, Detail>(c0, c1, c2, sharp, soft, out, x);
    if constexpr (Channels == 3) {
        if (stream)
            avx2Three<Detail, true>(c0, c1, c2, sharp, soft, out, head, n);
        else
            avx2Three<Detail, false>(c0, c1, c2, sharp, soft, out, head, n);
    } else {
        if (stream)
            avx2Four<Detail, true>(c0, c1, c2, sharp, soft, out, head, n);
        else
            avx2Four<Detail, false>(c0, c1, c2, sharp, soft, out, head, n);
    }
}

__attribute__((target("avx2"), always_inline)) inline __m256i loadBytes(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The adaptive sharpener with the saturating byte instructions the compiler does not use by
// itself; the same arithmetic as the portable version, 32 pixels a step.
__attribute__((target("avx2"))) void avx2AdaptiveSharpen(const uint8_t* up, const uint8_t* mid, const uint8_t* down,
                                                         uint8_t* out, int blocks, uint8_t coring, uint8_t overshoot) {
    const __m256i noise = _mm256_set1_epi8(static_cast<char>(coring));
    const __m256i margin = _mm256_set1_epi8(static_cast<char>(overshoot));
    const __m256i one = _mm256_set1_epi8(1);
    const int n = blocks * kBlock;
    for (int x = 0; x < n; x += 32) {
        const __m256i c = loadBytes(mid + x), l = loadBytes(mid + x - 1), r = loadBytes(mid + x + 1);
        const __m256i above = loadBytes(up + x), below = loadBytes(down + x);
        const __m256i vertical = _mm256_avg_epu8(above, below), horizontal = _mm256_avg_epu8(l, r);
        // The rounded-down average of the two rounded-up ones.
        const __m256i blur = _mm256_sub_epi8(_mm256_avg_epu8(vertical, horizontal),
                                             _mm256_and_si256(_mm256_xor_si256(vertical, horizontal), one));
        const __m256i rise = _mm256_subs_epu8(_mm256_subs_epu8(c, blur), noise);
        const __m256i fall = _mm256_subs_epu8(_mm256_subs_epu8(blur, c), noise);
        __m256i v = _mm256_subs_epu8(_mm256_adds_epu8(c, rise), fall);
        const __m256i lo = _mm256_min_epu8(_mm256_min_epu8(_mm256_min_epu8(above, below), _mm256_min_epu8(l, r)), c);
        const __m256i hi = _mm256_max_epu8(_mm256_max_epu8(_mm256_max_epu8(above, below), _mm256_max_epu8(l, r)), c);
        v = _mm256_max_epu8(_mm256_min_epu8(v, _mm256_adds_epu8(hi, margin)), _mm256_subs_epu8(lo, margin));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), v);
    }
}

// The same with AVX-512, 64 pixels (one block) a step.
__attribute__((target("avx512bw"))) void avx512AdaptiveSharpen(const uint8_t* up, const uint8_t* mid,
                                                               const uint8_t* down, uint8_t* out, int blocks,
                                                               uint8_t coring, uint8_t overshoot) {
    const __m512i noise = _mm512_set1_epi8(static_cast<char>(coring));
    const __m512i margin = _mm512_set1_epi8(static_cast<char>(overshoot));
    const __m512i one = _mm512_set1_epi8(1);
    const int n = blocks * kBlock;
    for (int x = 0; x < n; x += 64) {
        const __m512i c = _mm512_loadu_si512(mid + x), l = _mm512_loadu_si512(mid + x - 1);
        const __m512i r = _mm512_loadu_si512(mid + x + 1);
        const __m512i above = _mm512_loadu_si512(up + x), below = _mm512_loadu_si512(down + x);
        const __m512i vertical = _mm512_avg_epu8(above, below), horizontal = _mm512_avg_epu8(l, r);
        const __m512i blur = _mm512_sub_epi8(_mm512_avg_epu8(vertical, horizontal),
                                             _mm512_and_si512(_mm512_xor_si512(vertical, horizontal), one));
        const __m512i rise = _mm512_subs_epu8(_mm512_subs_epu8(c, blur), noise);
        const __m512i fall = _mm512_subs_epu8(_mm512_subs_epu8(blur, c), noise);
        __m512i v = _mm512_subs_epu8(_mm512_adds_epu8(c, rise), fall);
        const __m512i lo = _mm512_min_epu8(_mm512_min_epu8(_mm512_min_epu8(above, below), _mm512_min_epu8(l, r)), c);
        const __m512i hi = _mm512_max_epu8(_mm512_max_epu8(_mm512_max_epu8(above, below), _mm512_max_epu8(l, r)), c);
        v = _mm512_max_epu8(_mm512_min_epu8(v, _mm512_adds_epu8(hi, margin)), _mm512_subs_epu8(lo, margin));
        _mm512_storeu_si512(out + x, v);
    }
}
#endif

}  // namespace

void adaptiveSharpenRow8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out, int blocks,
                         uint8_t coring, uint8_t overshoot) {
#if defined(__x86_64__)
    if (haveAvx512()) {
        avx512AdaptiveSharpen(up, mid, down, out, blocks, coring, overshoot);
        return;
    }
    if (haveAvx2()) {
        avx2AdaptiveSharpen(up, mid, down, out, blocks, coring, overshoot);
        return;
    }
#endif
    adaptiveSharpenRow8Generic(up, mid, down, out, blocks, coring, overshoot);
}

bool matrixFitsFixedPoint(const DisplayMatrix& m) {
    for (float c : m.m)
        if (!(std::abs(c) < 3.99f)) return false;
    for (float c : m.c)
        if (!(std::abs(c) < 1000.0f)) return false;
    return true;
}

void displayMatrixRow(uint8_t* r, uint8_t* g, uint8_t* b, const DisplayMatrix& matrix, int blocks) {
#if defined(__x86_64__)
    if (haveAvx2() && matrixFitsFixedPoint(matrix)) {
        avx2MatrixRow(r, g, b, matrix, blocks);
        return;
    }
#endif
    genericMatrix(r, g, b, matrix, blocks);
}

void interleaveRow8(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp, const uint8_t* soft,
                    uint8_t* out, int n, int channels, bool stream) {
    const bool detail = sharp != nullptr;
#if defined(__x86_64__)
    if (haveAvx2()) {
        if (channels == 4)
            detail ? avx2Row<4, true>(c0, c1, c2, sharp, soft, out, n, stream)
                   : avx2Row<4, false>(c0, c1, c2, sharp, soft, out, n, stream);
        else
            detail ? avx2Row<3, true>(c0, c1, c2, sharp, soft, out, n, stream)
                   : avx2Row<3, false>(c0, c1, c2, sharp, soft, out, n, stream);
        return;
    }
#endif
    (void)stream;
    if (channels == 4)
        detail ? generic4Detail(c0, c1, c2, sharp, soft, out, n) : generic4(c0, c1, c2, out, n);
    else
        detail ? generic3Detail(c0, c1, c2, sharp, soft, out, n) : generic3(c0, c1, c2, out, n);
}

}  // namespace qorsim::conv
