// Conversion speed of the simulated conversion library on a 2048 x 2048 frame, next to a plain
// copy of the 8 MiB raw frame in the same run: the budgets are multiples of that copy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "camera/vendor/qor_convert.h"
#include "sim/control.h"

namespace {

constexpr int kSize = 2048;
constexpr size_t kPixels = size_t(kSize) * kSize;
constexpr int kBits = 14;
// What the camera passes by default: sharpen, adaptive sharpen, flip, auto range and the marker.
constexpr int kDefaultFlags = QOR_CONVERT_DEFAULT | QOR_CONVERT_SHARPEN | QOR_CONVERT_ADAPTIVE_SHARPEN |
                              QOR_CONVERT_FLIP | QOR_CONVERT_AUTO_MINMAX;

// A smooth scene with fine texture and noise, within the sensor's 14 bits.
const std::vector<uint16_t>& frame() {
    static const std::vector<uint16_t> pixels = [] {
        std::vector<uint16_t> p(kPixels);
        uint32_t state = 12345;
        for (int y = 0; y < kSize; ++y)
            for (int x = 0; x < kSize; ++x) {
                state = state * 1664525u + 1013904223u;
                const int base = 2000 + (x * 5 + y * 3) % 9000 + ((x / 16 + y / 16) % 2) * 1500;
                p[size_t(y) * kSize + x] = static_cast<uint16_t>(base + static_cast<int>(state >> 26));
            }
        return p;
    }();
    return pixels;
}

QOR_SensorInfo sensorInfo(bool colour) {
    QOR_SensorInfo info{};
    info.wSize = sizeof(QOR_SensorInfo);
    info.iDataBits = kBits;
    info.iSensorInfoBits = colour ? 1 : 0;
    info.iDarkOffset = 100;
    info.strColorCoeff = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    return info;
}

// A converter of the kind, optionally with display changes applied by `adjust`.
template <typename Adjust>
QOR_CONVERTER makeConverter(int kind, QOR_SensorInfo info, Adjust&& adjust) {
    QOR_CONVERTER converter = nullptr;
    if (QOR_ConvertCreate(&converter, &info, kind) != 0) return nullptr;
    QOR_Display display{};
    display.wSize = sizeof(QOR_Display);
    QOR_ConvertGetDisplay(converter, &display);
    display.iScale_min = 2000;
    display.iScale_max = 14000;
    adjust(display);
    QOR_ConvertSetDisplay(converter, &display);
    return converter;
}

void BM_Memcpy8MiB(benchmark::State& state) {
    const auto& in = frame();
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), kPixels * sizeof(uint16_t));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPixels * sizeof(uint16_t)));
}

template <typename Out, typename Call>
void runConversion(benchmark::State& state, QOR_CONVERTER converter, size_t out_elements, Call&& call) {
    if (converter == nullptr) {
        state.SkipWithError("converter not created");
        return;
    }
    const auto& in = frame();
    std::vector<Out> out(out_elements);
    for (auto _ : state) {
        if (call(converter, in.data(), out.data()) != 0) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPixels * sizeof(uint16_t)));
    QOR_ConvertDelete(converter);
}

auto noChange = [](QOR_Display&) {};

void BM_Mono8Default(benchmark::State& state) {
    runConversion<uint8_t>(state, makeConverter(QOR_CONVERT_MONO, sensorInfo(false), noChange), kPixels,
                           [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TO8(c, kDefaultFlags, 0, kSize, kSize, in, out);
                           });
}

void BM_Mono8Gamma(benchmark::State& state) {
    runConversion<uint8_t>(state,
                           makeConverter(QOR_CONVERT_MONO, sensorInfo(false), [](QOR_Display& d) { d.iGamma = 220; }),
                           kPixels, [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TO8(c, kDefaultFlags, 0, kSize, kSize, in, out);
                           });
}

void BM_BGR8Default(benchmark::State& state) {
    runConversion<uint8_t>(state, makeConverter(QOR_CONVERT_COLOR, sensorInfo(true), noChange), 3 * kPixels,
                           [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TOCOL(c, kDefaultFlags, 0, kSize, kSize, in, out);
                           });
}

// With a colour matrix, as the simulated colour camera reports one.
void BM_BGR8CameraMatrix(benchmark::State& state) {
    QOR_SensorInfo info = sensorInfo(true);
    info.strColorCoeff = {1.6, -0.4, -0.2, -0.3, 1.5, -0.2, -0.1, -0.5, 1.6};
    runConversion<uint8_t>(state, makeConverter(QOR_CONVERT_COLOR, info, noChange), 3 * kPixels,
                           [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TOCOL(c, kDefaultFlags, 0, kSize, kSize, in, out);
                           });
}

// With a colour matrix and a display gamma: white balance and matrix in floating point.
void BM_BGR8MatrixGamma(benchmark::State& state) {
    QOR_SensorInfo info = sensorInfo(true);
    info.strColorCoeff = {1.6, -0.4, -0.2, -0.3, 1.5, -0.2, -0.1, -0.5, 1.6};
    runConversion<uint8_t>(state, makeConverter(QOR_CONVERT_COLOR, info, [](QOR_Display& d) { d.iGamma = 220; }),
                           3 * kPixels, [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TOCOL(c, kDefaultFlags, 0, kSize, kSize, in, out);
                           });
}

void BM_BGRA8GradientDebayer(benchmark::State& state) {
    runConversion<uint8_t>(state, makeConverter(QOR_CONVERT_COLOR, sensorInfo(true), noChange), 4 * kPixels,
                           [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TOCOL(c, kDefaultFlags | QOR_CONVERT_ALT_DEBAYER | QOR_CONVERT_BGRA,
                                                         0, kSize, kSize, in, out);
                           });
}

void BM_RGB16Default(benchmark::State& state) {
    runConversion<uint16_t>(state, makeConverter(QOR_CONVERT_COLOR16, sensorInfo(true), noChange), 3 * kPixels,
                            [](QOR_CONVERTER c, const uint16_t* in, uint16_t* out) {
                                return QOR_Convert16TOCOL16(c, kDefaultFlags | QOR_CONVERT_RGB, 0, kSize, kSize, in,
                                                            out);
                            });
}

void BM_PseudoBGR8Default(benchmark::State& state) {
    runConversion<uint8_t>(state, makeConverter(QOR_CONVERT_PSEUDO, sensorInfo(false), noChange), 3 * kPixels,
                           [](QOR_CONVERTER c, const uint16_t* in, uint8_t* out) {
                               return QOR_Convert16TOPSEUDO(c, kDefaultFlags, 0, kSize, kSize, in, out);
                           });
}

}  // namespace

BENCHMARK(BM_Memcpy8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mono8Default)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mono8Gamma)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BGR8Default)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BGR8CameraMatrix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BGR8MatrixGamma)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BGRA8GradientDebayer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RGB16Default)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PseudoBGR8Default)->Unit(benchmark::kMillisecond);

// The library alone on one thread, so that its figures compare with earlier runs; image_bench shows
// what a second thread adds.
int main(int argc, char** argv) {
    qorsim::setConversionThreads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
