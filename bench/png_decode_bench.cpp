// The PNG reader on every .png file of the folder named by ZELVAN_BENCH_PNG_DIR, one benchmark
// per file (png_decode/<file name>), the file held in memory. MP/s counts the decoded pixels.
//   ZELVAN_BENCH_PNG_DIR=/path/to/pngs ./png_decode_bench --benchmark_repetitions=5

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/readers.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Decode(benchmark::State& state, const std::vector<std::uint8_t>* bytes) {
    std::int64_t pixels = 0;
    for (auto _ : state) {
        zelvan::DecodedPicture picture = zelvan::ReadPng(*bytes);
        pixels = std::int64_t{picture.raster.width()} * picture.raster.height();
        benchmark::DoNotOptimize(picture.raster.data());
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(pixels) * static_cast<double>(state.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
    state.counters["MP"] = static_cast<double>(pixels) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const char* dir = std::getenv("ZELVAN_BENCH_PNG_DIR");
    if (!dir || !fs::is_directory(dir)) {
        std::fprintf(stderr, "png_decode_bench: set ZELVAN_BENCH_PNG_DIR to a folder of PNG files\n");
        return 2;
    }
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() == ".png") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    if (paths.empty()) {
        std::fprintf(stderr, "png_decode_bench: no .png file in %s\n", dir);
        return 2;
    }

    // The files stay in memory for the whole run; each is decoded once up front so that a file
    // the reader refuses is reported rather than timed.
    std::vector<std::unique_ptr<std::vector<std::uint8_t>>> files;
    for (const fs::path& path : paths) {
        auto bytes = std::make_unique<std::vector<std::uint8_t>>(ReadFile(path));
        try {
            zelvan::ReadPng(*bytes);
        } catch (const zelvan::Error& e) {
            std::fprintf(stderr, "png_decode_bench: skipping %s: %s\n", path.c_str(), e.what());
            continue;
        }
        const std::string name = "png_decode/" + path.filename().string();
        benchmark::RegisterBenchmark(name.c_str(), Decode, bytes.get())->Unit(benchmark::kMillisecond)->UseRealTime();
        files.push_back(std::move(bytes));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
