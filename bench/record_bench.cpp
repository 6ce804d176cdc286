// Recording speed of the mono camera: 100 full 2048 x 2048 frames into PC memory (blocking
// sequence) at the shortest exposure, reported as achieved frames per second next to the frame
// rate the camera's timing allows at that pixel rate (the frame period is the longer of exposure
// and sensor read-out, and read-out takes 2048 x 2048 pixels / pixel rate).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "camera/camera.h"
#include "sim/control.h"

namespace {

constexpr uint32_t kFrames = 100;
constexpr double kFramePixels = 2048.0 * 2048.0;
constexpr double kExposureS = 10e-6;

// The default device set, with lock files of this process only, and the SDK initialised.
void prepareSimulation() {
    static const bool prepared = [] {
        qorsim::setLockDirectory(std::filesystem::temp_directory_path() /
                                 ("qor-bench-locks-" + std::to_string(::getpid())));
        qorsim::reset();
        return QOR_InitializeLib() == 0;
    }();
    if (!prepared) throw qor::CameraException("the camera SDK did not initialise", qor::errc::kUnspecified);
}

void BM_RecordFullFramesIntoMemory(benchmark::State& state) {
    const auto pixel_rate = static_cast<int32_t>(state.range(0));
    prepareSimulation();
    auto cam = std::make_unique<qor::Camera>(-1, 10001);
    qor::Configuration config;
    config.exposure_time_s = kExposureS;
    config.pixelrate = pixel_rate;
    cam->setConfiguration(config);

    double frames = 0;
    for (auto _ : state) {
        cam->record(kFrames, qor::RecordMode::sequence, {}, 0);
        frames += cam->getRecordedImageCount();
    }
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["timing_fps"] = 1.0 / std::max(kExposureS, kFramePixels / pixel_rate);
    state.counters["pixel_rate_MHz"] = pixel_rate / 1e6;
}

// The camera's default pixel rate and its faster one.
BENCHMARK(BM_RecordFullFramesIntoMemory)
    ->Arg(100000000)
    ->Arg(300000000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
