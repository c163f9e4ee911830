#include "jobs/folder_scan.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Scan(const std::string& folder, int* keepAlives = nullptr) {
    std::vector<std::string> found;
    ScanFolder(folder, {[&](const std::string& path) {
                            found.push_back(path);
                            return true;
                        },
                        [&] {
                            if (keepAlives) ++*keepAlives;
                        }});
    return found;
}

TEST(FolderScan, FindsAcceptedFilesFilesFirstSkippingDotFoldersAndLoops) {
    test::TempDir dir;
    const std::string root = dir.path().string() + "/";
    fs::create_directories(root + "b/deep");
    fs::create_directories(root + ".hidden");
    fs::create_directories(root + "a");
    for (const char* name : {"z.JPG", "a.png", "readme", "notes.txt", ".dot.gif", "a/x.CR2", "b/deep/y.tga",
                             ".hidden/secret.png", "b/\xff\xfe.png"})
        test::WriteBytes(root + name, std::vector<std::uint8_t>{0});
    fs::create_directory_symlink(root, root + "b/loop");  // back to the top

    std::vector<std::string> expected{root + ".dot.gif",   root + "a.png",           root + "z.JPG",
                                      root + "a/x.CR2",    root + "b/\xff\xfe.png", root + "b/deep/y.tga"};
    EXPECT_EQ(Scan(root), expected);
    EXPECT_EQ(Scan(dir.path().string()), expected) << "a folder without its trailing slash";
}

TEST(FolderScan, StopsWhenAskedAndKeepsTheWindowAlive) {
    test::TempDir dir;
    for (int i = 0; i < 50; ++i) test::WriteBytes(dir / ("f" + std::to_string(100 + i) + ".bmp"), std::vector<std::uint8_t>{0});
    int keepAlives = 0;
    EXPECT_EQ(Scan(dir.path().string(), &keepAlives).size(), 50u);
    EXPECT_EQ(keepAlives, 2 + 1) << "after 21 and 42 files, and after the folder";

    int added = 0;
    ScanFolder(dir.path().string(), {[&](const std::string&) { return ++added < 5; }, nullptr});
    EXPECT_EQ(added, 5);
    EXPECT_TRUE(Scan(dir / "missing").empty());
}

}  // namespace
}  // namespace zelvan
