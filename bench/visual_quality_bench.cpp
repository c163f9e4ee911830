// The visual-quality score of one photo against its JPEG, beside one JPEG encoding of the same
// photo (quality 85, baseline): the score is meant to cost less than the encoding it judges.
// The photo is the first .jpg of ZELVAN_BENCH_JPEG_DIR (default /dev/shm/zc/jpeg), else a
// built 1920 x 1080 textured picture.
//   ./visual_quality_bench --benchmark_repetitions=3

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/readers/readers.h"
#include "imaging/visual_quality.h"
#include "imaging/writers/writers.h"

namespace {

namespace fs = std::filesystem;

zelvan::Raster TexturedPicture(int width, int height) {
    zelvan::Raster r(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = r.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>((x * 3 + y) & 0xFF);
            p[1] = static_cast<std::uint8_t>((x * y / 7 + (x ^ y)) & 0xFF);
            p[2] = static_cast<std::uint8_t>(128 + ((x * 13 + y * 7) % 50) - 25);
        }
    return r;
}

const zelvan::Raster& Photo() {
    static const zelvan::Raster photo = [] {
        const char* env = std::getenv("ZELVAN_BENCH_JPEG_DIR");
        const fs::path dir = env ? env : "/dev/shm/zc/jpeg";
        std::vector<fs::path> paths;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec))
            if (entry.path().extension() == ".jpg") paths.push_back(entry.path());
        std::sort(paths.begin(), paths.end());
        if (paths.empty()) return TexturedPicture(1920, 1080);
        std::ifstream in(paths.front(), std::ios::binary);
        std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        return zelvan::ReadJpeg(bytes).raster.ToBgr24();
    }();
    return photo;
}

void SetCounters(benchmark::State& state, const zelvan::Raster& photo) {
    state.counters["MP"] = photo.width() * static_cast<double>(photo.height()) / 1e6;
}

void BM_JpegEncode(benchmark::State& state) {
    const zelvan::Raster& photo = Photo();
    for (auto _ : state) benchmark::DoNotOptimize(zelvan::EncodeJpeg(photo, 85, false));
    SetCounters(state, photo);
}

void BM_VisualQualityScore(benchmark::State& state) {
    const zelvan::Raster& photo = Photo();
    const zelvan::Raster distorted = zelvan::ReadJpeg(zelvan::EncodeJpeg(photo, 85, false)).raster;
    double score = 0;
    for (auto _ : state) benchmark::DoNotOptimize(score = zelvan::VisualQualityScore(photo, distorted));
    state.counters["score"] = score;
    SetCounters(state, photo);
}

BENCHMARK(BM_JpegEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VisualQualityScore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
