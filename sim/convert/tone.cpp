#include "sim/convert/tone.h"

#include <algorithm>
#include <cmath>

#include "sim/convert/kernel_support.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qorsim::conv {
namespace {

double contrastFactor(int32_t contrast) { return 1.0 + contrast / 100.0; }

// The integer curve for one value, as the vector kernels compute it.
inline uint8_t affineValue(uint16_t v, const ToneMap& m) {
    v = std::min(std::max(v, m.vlow), m.vclip);
    uint32_t x = v > m.lo ? uint32_t(v - m.lo) : 0u;
    x = std::min<uint32_t>(x, m.range) << m.shift;
    uint32_t t = (x * m.mul) >> 16;
    t = std::min<uint32_t>(t + m.add, 0xFFFF);
    t = t > m.sub ? t - m.sub : 0u;
    return static_cast<uint8_t>(std::min<uint32_t>(t >> 6, 255));
}

inline uint8_t toneValue8(uint16_t v, const ToneMap& m) { return m.affine ? affineValue(v, m) : (*m.table)[v]; }

#if defined(__x86_64__)
// The constants of both maps as vectors, with the even columns' value in the even 16-bit lanes and
// the odd columns' in the odd ones; every step below works lane by lane, so one pass serves a Bayer
// row of two colours. They are built in registers for each row: building them in memory, lane by
// lane, cost as much as a tenth of a Mono8 conversion. The shift becomes a multiplication per lane.
#define QORSIM_TONE_LANES(Vector, both)                                                               \
    const Vector vlow = both(even.vlow, odd.vlow), vclip = both(even.vclip, odd.vclip);               \
    const Vector lo = both(even.lo, odd.lo), range = both(even.range, odd.range);                     \
    const Vector scale = both(static_cast<uint16_t>(1u << even.shift), static_cast<uint16_t>(1u << odd.shift)); \
    const Vector mul = both(even.mul, odd.mul), add = both(even.add, odd.add), sub = both(even.sub, odd.sub)

// 16 values per step with SSE2, which every x86-64 processor has.
int affineRowSse2(const uint16_t* in, uint8_t* out, int n, const ToneMap& even, const ToneMap& odd) {
    auto both = [](uint16_t e, uint16_t o) {
        return _mm_unpacklo_epi16(_mm_set1_epi16(static_cast<short>(e)), _mm_set1_epi16(static_cast<short>(o)));
    };
    QORSIM_TONE_LANES(__m128i, both);
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    // SSE2 has no unsigned 16-bit minimum and maximum: compare with the sign bit flipped.
    auto minu = [&](__m128i a, __m128i b) {
        return _mm_xor_si128(_mm_min_epi16(_mm_xor_si128(a, bias), _mm_xor_si128(b, bias)), bias);
    };
    auto maxu = [&](__m128i a, __m128i b) {
        return _mm_xor_si128(_mm_max_epi16(_mm_xor_si128(a, bias), _mm_xor_si128(b, bias)), bias);
    };
    auto step = [&](__m128i v) {
        v = minu(maxu(v, vlow), vclip);
        const __m128i x = _mm_mullo_epi16(minu(_mm_subs_epu16(v, lo), range), scale);
        const __m128i t = _mm_subs_epu16(_mm_adds_epu16(_mm_mulhi_epu16(x, mul), add), sub);
        return _mm_srli_epi16(t, 6);
    };
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i a = step(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
        const __m128i b = step(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
    }
    return i;
}

__attribute__((target("avx2"), always_inline)) inline __m256i avx2Both(uint16_t even, uint16_t odd) {
    return _mm256_unpacklo_epi16(_mm256_set1_epi16(static_cast<short>(even)), _mm256_set1_epi16(static_cast<short>(odd)));
}

struct Avx2Tone {
    __m256i vlow, vclip, lo, range, scale, mul, add, sub;
};

__attribute__((target("avx2"), always_inline)) inline __m256i avx2Step(__m256i v, const Avx2Tone& k) {
    v = _mm256_min_epu16(_mm256_max_epu16(v, k.vlow), k.vclip);
    const __m256i x = _mm256_mullo_epi16(_mm256_min_epu16(_mm256_subs_epu16(v, k.lo), k.range), k.scale);
    const __m256i t = _mm256_subs_epu16(_mm256_adds_epu16(_mm256_mulhi_epu16(x, k.mul), k.add), k.sub);
    return _mm256_srli_epi16(t, 6);
}

__attribute__((target("avx2"))) int affineRowAvx2(const uint16_t* in, uint8_t* out, int n, const ToneMap& even,
                                                  const ToneMap& odd) {
    QORSIM_TONE_LANES(__m256i, avx2Both);
    const Avx2Tone k{vlow, vclip, lo, range, scale, mul, add, sub};
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i a = avx2Step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)), k);
        const __m256i b = avx2Step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 16)), k);
        // The pack works per 128-bit lane; the permutation puts the four quarters back in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    return i;
}

__attribute__((target("avx512bw"), always_inline)) inline __m512i avx512Both(uint16_t even, uint16_t odd) {
    return _mm512_unpacklo_epi16(_mm512_set1_epi16(static_cast<short>(even)), _mm512_set1_epi16(static_cast<short>(odd)));
}

struct Avx512Tone {
    __m512i vlow, vclip, lo, range, scale, mul, add, sub;
};

__attribute__((target("avx512bw"), always_inline)) inline __m512i avx512Step(__m512i v, const Avx512Tone& k) {
    v = _mm512_min_epu16(_mm512_max_epu16(v, k.vlow), k.vclip);
    const __m512i x = _mm512_mullo_epi16(_mm512_min_epu16(_mm512_subs_epu16(v, k.lo), k.range), k.scale);
    const __m512i t = _mm512_subs_epu16(_mm512_adds_epu16(_mm512_mulhi_epu16(x, k.mul), k.add), k.sub);
    return _mm512_srli_epi16(t, 6);
}

// 64 values per step with AVX-512; the rest of the row is left to the narrower kernels.
__attribute__((target("avx512bw"))) int affineRowAvx512(const uint16_t* in, uint8_t* out, int n, const ToneMap& even,
                                                        const ToneMap& odd) {
    QORSIM_TONE_LANES(__m512i, avx512Both);
    const Avx512Tone k{vlow, vclip, lo, range, scale, mul, add, sub};
    // The pack works per 128-bit lane; the permutation puts the eight quarters back in order.
    const __m512i order = _mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0);
    int i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i a = avx512Step(_mm512_loadu_si512(in + i), k);
        const __m512i b = avx512Step(_mm512_loadu_si512(in + i + 32), k);
        _mm512_storeu_si512(out + i, _mm512_maskz_permutexvar_epi64(0xFF, order, _mm512_packus_epi16(a, b)));
    }
    return i;
}
#endif

}  // namespace

DisplayParams displayParams(const QOR_Display& d) {
    DisplayParams p;
    p.min = d.iScale_min;
    p.max = d.iScale_max;
    p.temperature = std::clamp(d.iColor_temp, kMinTemperature, kMaxTemperature);
    p.tint = std::clamp(d.iColor_tint, -kTintLimit, kTintLimit);
    p.saturation = std::clamp(d.iColor_saturation, -kPercentLimit, kPercentLimit);
    p.vibrance = std::clamp(d.iColor_vibrance, -kPercentLimit, kPercentLimit);
    p.contrast = std::clamp(d.iContrast, -kPercentLimit, kPercentLimit);
    p.gamma100 = std::clamp(d.iGamma, 1, kMaxGamma100);
    return p;
}

ToneKey plainToneKey(const DisplayParams& display) {
    ToneKey key;
    key.min = display.min;
    key.max = display.max;
    key.contrast = display.contrast;
    key.gamma100 = display.gamma100;
    return key;
}

double toneValue(const ToneKey& key, int v) {
    const double vclip = key.dark + (key.full - key.dark) / key.clip_gain;
    const double vv = std::min(std::max<double>(v, key.dark), vclip);
    const double y = key.dark + key.gain * (vv - key.dark);
    double x = 0.0;
    if (key.max > key.min)
        x = std::clamp((y - key.min) / (double(key.max) - key.min), 0.0, 1.0);
    else
        x = y > key.min ? 1.0 : 0.0;
    if (key.gamma100 != 100) x = std::pow(x, 100.0 / key.gamma100);
    x = std::clamp((x - 0.5) * contrastFactor(key.contrast) + 0.5, 0.0, 1.0);
    return 255.0 * x;
}

std::shared_ptr<const ToneTable> buildToneTable(const ToneKey& key) {
    auto table = std::make_shared<ToneTable>(65536);
    // Below the display minimum and above the maximum the curve is flat; only the values in
    // between need the power function.
    const uint8_t bottom = static_cast<uint8_t>(std::floor(toneValue(key, 0) + 0.5));
    const uint8_t top = static_cast<uint8_t>(std::floor(toneValue(key, 65535) + 0.5));
    const double vclip = key.dark + (key.full - key.dark) / key.clip_gain;
    for (int v = 0; v < 65536; ++v) {
        const double vv = std::min(std::max<double>(v, key.dark), vclip);
        const double y = key.dark + key.gain * (vv - key.dark);
        if (y <= key.min)
            (*table)[v] = bottom;
        else if (y >= key.max && key.max > key.min)
            (*table)[v] = top;
        else
            (*table)[v] = static_cast<uint8_t>(std::floor(toneValue(key, v) + 0.5));
    }
    return table;
}

bool affineTone(const ToneKey& key, ToneMap& map) {
    if (key.gamma100 != 100 || key.max <= key.min || key.gain <= 0.0 || key.clip_gain <= 0.0) return false;
    const double f = contrastFactor(key.contrast);
    const double range = (double(key.max) - key.min) / key.gain;  // input steps across the range
    if (f <= 0.0 || range < 255.0 * f) return false;
    const double v0 = key.dark + (key.min - key.dark) / key.gain;  // input value shown as the minimum
    const double slope = 64.0 * 255.0 * f / range;                 // 64ths of a level per input step
    const double vclip = std::min(65535.0, std::floor(key.dark + (key.full - key.dark) / key.clip_gain));
    const double lo = std::clamp(std::floor(v0), 0.0, 65535.0);
    const double span = std::clamp(std::ceil(v0 + range) - lo, 1.0, 65535.0);
    int shift = 0;
    while ((static_cast<uint32_t>(span) << (shift + 1)) <= 0xFFFF) ++shift;
    const double mul = std::round(slope * 65536.0 / double(1u << shift));
    if (mul > 65535.0 || key.dark < 0 || key.dark > 65535 || vclip < key.dark) return false;
    const double bias = std::round(64.0 * 127.5 * (1.0 - f) + 32.0 - slope * (v0 - lo));
    if (std::abs(bias) > 65535.0) return false;
    map.affine = true;
    map.vlow = static_cast<uint16_t>(key.dark);
    map.vclip = static_cast<uint16_t>(vclip);
    map.lo = static_cast<uint16_t>(lo);
    map.range = static_cast<uint16_t>(span);
    map.shift = shift;
    map.mul = static_cast<uint16_t>(mul);
    map.add = static_cast<uint16_t>(bias > 0 ? bias : 0);
    map.sub = static_cast<uint16_t>(bias < 0 ? -bias : 0);
    map.table.reset();
    return true;
}

void toneRow(const uint16_t* in, uint8_t* out, int n, const ToneMap& map) { toneRowPair(in, out, n, map, map); }

void toneRowPair(const uint16_t* in, uint8_t* out, int n, const ToneMap& even, const ToneMap& odd) {
    int done = 0;
    if (even.affine && odd.affine) {
#if defined(__x86_64__)
        // Every kernel stops at a multiple of its width, which is even: the columns keep their parity.
        if (haveAvx512()) done = affineRowAvx512(in, out, n, even, odd);
        done += haveAvx2() ? affineRowAvx2(in + done, out + done, n - done, even, odd)
                           : affineRowSse2(in + done, out + done, n - done, even, odd);
#endif
    } else if (!even.affine && !odd.affine) {
        const uint8_t* even_table = even.table->data();
        const uint8_t* odd_table = odd.table->data();
        if (even_table == odd_table) {
            for (int i = 0; i < n; ++i) out[i] = even_table[in[i]];
        } else {
            int i = 0;
            for (; i + 1 < n; i += 2) {
                out[i] = even_table[in[i]];
                out[i + 1] = odd_table[in[i + 1]];
            }
            if (i < n) out[i] = even_table[in[i]];
        }
        return;
    }
    for (int i = done; i < n; ++i) out[i] = toneValue8(in[i], (i & 1) ? odd : even);
}

}  // namespace qorsim::conv
