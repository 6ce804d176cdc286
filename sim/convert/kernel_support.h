#pragma once

// What the row kernels share: the multi-versioning attribute, the processor checks of the
// hand-written kernels and element-wise helpers written in forms the compiler vectorises without
// widening the element type.
#include <algorithm>
#include <cstdint>

// Each kernel is compiled for AVX-512, AVX2 and the x86-64 baseline; the loader picks the best
// one the processor runs (not in builds that define QOR_NO_FUNCTION_CLONES, whose runtime cannot
// run the loader's resolvers). The bodies are written as plain loops over constant-length blocks,
// which the compiler vectorises at -O2 as well as at -O3.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QOR_NO_FUNCTION_CLONES)
#define QORSIM_KERNEL __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define QORSIM_KERNEL
#endif
#define QORSIM_INLINE inline __attribute__((always_inline))

namespace qorsim::conv {

#if defined(__x86_64__)
// Whether the processor runs the hand-written AVX2 and AVX-512 kernels; asked once.
inline bool haveAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
inline bool haveAvx512() {
    static const bool avx512 = __builtin_cpu_supports("avx512bw");
    return avx512;
}
#endif

// Saturating arithmetic in the element type: an unsigned maximum or minimum, then the operation.
template <typename T>
QORSIM_INLINE T subSat(T a, T b) {
    return static_cast<T>(std::max(a, b) - b);
}
template <typename T>
QORSIM_INLINE T addSat(T a, T b) {
    return static_cast<T>(a + std::min(b, static_cast<T>(~a)));
}
// The rounding average. For bytes the compiler matches the widened sum to the vector average
// instruction even when averages nest; for 16-bit values it does not (it widens the whole
// expression to 32 bits), so those use the equivalent bit form, which stays in 16-bit lanes.
template <typename T>
QORSIM_INLINE T average(T a, T b) {
    if constexpr (sizeof(T) == 1)
        return static_cast<T>((uint32_t(a) + b + 1) >> 1);
    else
        return static_cast<T>((a | b) - ((a ^ b) >> 1));
}

// The average rounded down, for the second level of nested averages: a rounded-up inner level
// and a rounded-down outer one leave the mean of four values unbiased.
template <typename T>
QORSIM_INLINE T averageDown(T a, T b) {
    return static_cast<T>((a & b) + ((a ^ b) >> 1));
}

// Clamps in the form of the vector minimum and maximum instructions.
QORSIM_INLINE float maxf(float a, float b) { return a > b ? a : b; }
QORSIM_INLINE float minf(float a, float b) { return a < b ? a : b; }

// Branch-free choice: a conditional expression here would be compiled into a branch per pixel.
template <typename T>
QORSIM_INLINE T pick(bool first, T a, T b) {
    const T mask = static_cast<T>(-static_cast<T>(first));
    return static_cast<T>((a & mask) | (b & static_cast<T>(~mask)));
}

}  // namespace qorsim::conv
