// Image retrieval against a plain copy of the raw frame: one 2048 x 2048 16-bit image copied out of
// the recorder as Mono16, converted to Mono8, and demosaiced to BGR8 from a Bayer frame.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <unistd.h>

#include "camera/camera.h"
#include "sim/control.h"

namespace {

constexpr size_t kWidth = 2048;
constexpr size_t kHeight = 2048;

// Two 2048 x 2048 cameras: the mono one and a colour one of the same size.
const char* const kDevices = R"({"cameras": [
  {"template": "mono", "serial": 31001, "name": "Bench Mono"},
  {"template": "color", "serial": 31002, "name": "Bench Color",
   "description": {"wMaxHorzResStdDESC": 2048, "wMaxVertResStdDESC": 2048,
                   "wMaxHorzResExtDESC": 2048, "wMaxVertResExtDESC": 2048, "wDynResDESC": 16},
   "setup": {"pixel_format": 1, "allowed": 17}}]})";

// Opens the camera of that serial and records one full frame at 10 ms exposure.
std::unique_ptr<qor::Camera> recordOne(int32_t serial) {
    static bool loaded = false;
    if (!loaded) {
        qorsim::setLockDirectory(std::filesystem::temp_directory_path() /
                                 ("qor-bench-locks-" + std::to_string(::getpid())));
        qorsim::loadDevices(kDevices);
        QOR_InitializeLib();
        loaded = true;
    }
    auto cam = std::make_unique<qor::Camera>(-1, serial);
    qor::Configuration c;
    c.exposure_time_s = 0.01;
    c.roi = qor::Roi{1, 1, kWidth, kHeight};
    cam->setConfiguration(c);
    cam->record(1, qor::RecordMode::sequence, {}, 0);
    return cam;
}

qor::Camera& monoCamera() {
    static auto cam = recordOne(31001);
    return *cam;
}

qor::Camera& colorCamera() {
    static auto cam = recordOne(31002);
    return *cam;
}

void BM_MemcpyRawFrame(benchmark::State& state) {
    std::vector<uint16_t> src(kWidth * kHeight, 1234), dst(kWidth * kHeight);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size() * sizeof(uint16_t));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size() * sizeof(uint16_t)));
}

// The argument is the number of threads the conversion library may use for the image.
void imageIn(benchmark::State& state, qor::Camera& cam, qor::DataFormat format) {
    qorsim::setConversionThreads(static_cast<int>(state.range(0)));
    qor::Image image;
    cam.image(image, 0, format, nullptr);  // shapes the buffers once, as a reused image would be
    for (auto _ : state) {
        cam.image(image, 0, format, nullptr);
        benchmark::DoNotOptimize(image.rawData16().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWidth * kHeight * sizeof(uint16_t)));
}

void BM_ImageMono16(benchmark::State& state) { imageIn(state, monoCamera(), qor::DataFormat::Mono16); }
void BM_ImageMono8(benchmark::State& state) { imageIn(state, monoCamera(), qor::DataFormat::Mono8); }
void BM_ImageBGR8Bayer(benchmark::State& state) { imageIn(state, colorCamera(), qor::DataFormat::BGR8); }

BENCHMARK(BM_MemcpyRawFrame)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ImageMono16)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ImageMono8)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ImageBGR8Bayer)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
