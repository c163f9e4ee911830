// Prints the visual-quality score (SSIMULACRA 2) of a picture file against a reference file, both
// read by the program's own readers: for benchmarks that compare encoders at equal quality.
//   visual_quality_score REFERENCE DISTORTED
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/source_loading.h"
#include "imaging/readers/readers.h"
#include "imaging/visual_quality.h"

namespace {

zelvan::WorkingImageSet Read(const std::string& path) {
    const zelvan::ReaderFn read = zelvan::FindReader(zelvan::ExtractFileExt(path));
    if (!read) throw std::runtime_error("no reader for " + path);
    const std::vector<std::uint8_t> bytes = zelvan::ReadFileBytes(path);
    return zelvan::PrepareWorkingImage(read(bytes), zelvan::kStripColourProfile);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: visual_quality_score REFERENCE DISTORTED\n");
        return 2;
    }
    try {
        const zelvan::WorkingImageSet reference = Read(argv[1]), distorted = Read(argv[2]);
        const double score = zelvan::VisualQualityScore(
            reference.image, distorted.image, reference.alphaMask ? &*reference.alphaMask : nullptr,
            distorted.alphaMask ? &*distorted.alphaMask : nullptr);
        std::printf("%.3f\n", score);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "visual_quality_score: %s\n", e.what());
        return 1;
    }
    return 0;
}
