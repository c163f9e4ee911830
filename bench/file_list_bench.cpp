// The file list with 10,000 files: adding a folder tree through the list's own scan (10 folders
// of 1,000 16x16 PNG files, each row read for its size and pixel size), adding the same files
// one by one in reverse folder order (every row inserted at the front), and sorting the full
// list by each column. Runs on the offscreen platform; the files live in a temporary folder
// made once.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ui/file_list.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 10;
constexpr int kFilesPerFolder = 1000;

// The tree of small PNG files, removed at exit.
struct Corpus {
    fs::path root;
    std::vector<std::string> files;  // in folder order

    Corpus() {
        root = fs::temp_directory_path() / ("zelvan-file-list-bench-" + std::to_string(::getpid()));
        fs::create_directories(root);
        QImage image(16, 16, QImage::Format_RGB32);
        image.fill(QColor(40, 90, 160));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        for (int folder = 0; folder < kFolders; ++folder) {
            const fs::path dir = root / ("folder" + std::to_string(folder));
            fs::create_directories(dir);
            for (int i = 0; i < kFilesPerFolder; ++i) {
                const fs::path file = dir / ("image" + std::to_string(10000 + i) + ".png");
                std::ofstream(file, std::ios::binary).write(png.constData(), png.size());
                files.push_back(file.string());
            }
        }
    }
    ~Corpus() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

const Corpus& Files() {
    static const Corpus corpus;
    return corpus;
}

void AddFolderTree(benchmark::State& state) {
    const std::string root = Files().root.string() + "/";
    for (auto _ : state) {
        zelvan::FileListView list;
        list.resize(900, 600);
        list.show();
        list.AddFolderTree(root);
        QCoreApplication::processEvents();  // the deferred column fit and a paint
        if (list.RowCount() != kFolders * kFilesPerFolder) state.SkipWithError("rows missing");
    }
    state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(AddFolderTree)->Name("file_list/add_folder/10000")->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

void AddInReverseOrder(benchmark::State& state) {
    for (auto _ : state) {
        zelvan::FileListView list;
        list.resize(900, 600);
        list.show();
        const std::vector<std::string>& files = Files().files;
        for (auto it = files.rbegin(); it != files.rend(); ++it) list.AddFileToList(*it);
        QCoreApplication::processEvents();
        if (list.RowCount() != kFolders * kFilesPerFolder) state.SkipWithError("rows missing");
    }
}
BENCHMARK(AddInReverseOrder)->Name("file_list/add_one_by_one_reversed/10000")->Unit(benchmark::kMillisecond)
    ->Iterations(1)->Repetitions(3);

void SortByColumn(benchmark::State& state) {
    static zelvan::FileListView* list = [] {
        auto* view = new zelvan::FileListView;
        view->resize(900, 600);
        view->show();
        view->AddFolderTree(Files().root.string() + "/");
        return view;
    }();
    const int column = static_cast<int>(state.range(0));
    for (auto _ : state) {
        list->onHeaderClicked(column);
        QCoreApplication::processEvents();
    }
}
BENCHMARK(SortByColumn)->Name("file_list/sort_10000/column")->DenseRange(0, 4)->Unit(benchmark::kMillisecond)
    ->Iterations(4)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Files();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
