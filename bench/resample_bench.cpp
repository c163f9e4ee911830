// The resampler on a 24-bit 6000x4000 raster (a 24-megapixel photo), shrunk to 1920x1280 and
// enlarged to 12000x8000, with each filter, on one thread. Benchmark names are
// resample/<filter>/<width>x<height>; bench/compare-pillow.sh runs them one by one.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "imaging/resample.h"

namespace {

const char* const kFilterNames[zelvan::kResampleFilterCount] = {"Nearest", "Bilinear", "Hermite", "Bell",
                                                                 "BSpline", "Lanczos3", "Mitchell"};

// Smooth gradients with a little deterministic noise: the resampler's speed does not depend on
// the content, but a flat raster would hide mistakes in the measurement harness.
const zelvan::Raster& Source() {
    static const zelvan::Raster source = [] {
        zelvan::Raster r(6000, 4000, 24);
        std::uint32_t noise = 12345;
        for (int y = 0; y < r.height(); ++y) {
            std::uint8_t* p = r.row(y);
            for (int x = 0; x < r.width(); ++x, p += 3) {
                noise = noise * 1664525u + 1013904223u;
                p[0] = static_cast<std::uint8_t>(x / 24 + (noise >> 28));
                p[1] = static_cast<std::uint8_t>(y / 16 + (noise >> 29));
                p[2] = static_cast<std::uint8_t>((x + y) / 40);
            }
        }
        return r;
    }();
    return source;
}

void Resample(benchmark::State& state, int filter, int width, int height) {
    const zelvan::Raster& source = Source();
    for (auto _ : state) {
        zelvan::Raster out = zelvan::ResampleBitmap(source, width, height, filter);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(width) * height);
}

}  // namespace

int main(int argc, char** argv) {
    const int sizes[][2] = {{1920, 1280}, {12000, 8000}};
    for (const auto& size : sizes)
        for (int filter = 0; filter < zelvan::kResampleFilterCount; ++filter) {
            const std::string name = std::string("resample/") + kFilterNames[filter] + "/" +
                                     std::to_string(size[0]) + "x" + std::to_string(size[1]);
            benchmark::RegisterBenchmark(name.c_str(), Resample, filter, size[0], size[1])
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
