#include "base/file_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <unistd.h>

#include <filesystem>

#include "base/error.h"
#include "base/path_util.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

TEST(FileIo, AtomicWriteReplacesOnlyWhenComplete) {
    test::TempDir dir;
    const std::string path = dir / "out.PNG";
    std::vector<std::uint8_t> first{1, 2, 3}, second(100000, 7);
    WriteFileAtomically(path, first);
    EXPECT_EQ(test::ReadBytes(path), first);
    WriteFileAtomically(path, second);
    EXPECT_EQ(test::ReadBytes(path), second);
    EXPECT_EQ(FileSizeOf(path), 100000);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IRGRP, 0u) << "not left private like a temporary file";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file left";

    EXPECT_THROW(WriteFileAtomically(dir / "missing/out.PNG", first), Error);
    if (::geteuid() != 0) {  // root writes anywhere
        std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        EXPECT_THROW(WriteFileAtomically(path, first), Error);
        std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
        EXPECT_EQ(test::ReadBytes(path), second) << "the earlier file survives a failed write";
    }
}

TEST(FileIo, AWriteThatMayNotReplaceLeavesATakenNameAlone) {
    test::TempDir dir;
    const std::string path = dir / "out.JPG";
    const std::vector<std::uint8_t> first{1, 2, 3}, second{4, 5};
    WriteFileAtomically(path, first, {.replace = false});
    EXPECT_EQ(test::ReadBytes(path), first) << "a free name is written";
    EXPECT_THROW(WriteFileAtomically(path, second, {.replace = false}), FileExistsError);
    EXPECT_EQ(test::ReadBytes(path), first);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file left";
    // A folder of that name is taken too.
    std::filesystem::create_directory(dir / "folder.JPG");
    EXPECT_THROW(WriteFileAtomically(dir / "folder.JPG", second, {.replace = false}), FileExistsError);
}

TEST(FileIo, WriteThatRunsOutOfSpaceLeavesNoPartialFile) {
    test::TempDir dir;
    const std::string path = dir / "out.BMP";
    std::vector<std::uint8_t> old{9, 9, 9};
    WriteFileAtomically(path, old);
    // A file-size limit makes the write fail midway, as a full disk does.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    EXPECT_THROW(WriteFileAtomically(path, std::vector<std::uint8_t>(100000, 1)), Error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(test::ReadBytes(path), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file left";
}

TEST(FileIo, ReadingAndMeasuringMissingFiles) {
    test::TempDir dir;
    EXPECT_EQ(FileSizeOf(dir / "none"), -1);
    EXPECT_THROW(ReadFileBytes(dir / "none"), Error);
    EXPECT_THROW(ReadFileBytes(dir.path().string()), Error);
    test::WriteBytes(dir / "f", std::vector<std::uint8_t>(1023, 0));
    EXPECT_EQ(ReadFileBytes(dir / "f").size(), 1023u);
    EXPECT_THROW(ReadFileBytes(dir / "f", 1000), Error);
}

TEST(PathUtil, ExtensionsAndNames) {
    EXPECT_EQ(ExtractFileExt("/a.b/photo.JPEG"), ".JPEG");
    EXPECT_EQ(ExtractFileExt("/a.b/README"), "");
    EXPECT_EQ(ExtractFileExt("/a/.profile"), ".profile");
    EXPECT_EQ(ChangeFileExt("/out/photo.jpeg", ".PNG"), "/out/photo.PNG");
    EXPECT_EQ(ChangeFileExt("/o.d/noext", ".PNG"), "/o.d/noext.PNG");
    EXPECT_EQ(ExtractFileName("/a/b/c.png"), "c.png");
    EXPECT_EQ(ExtractFilePath("/a/b/c.png"), "/a/b/");
    EXPECT_TRUE(EqualsIgnoreCase(".Cr2", ".CR2"));
    EXPECT_FALSE(EqualsIgnoreCase(".cr2", ".cr"));
}

}  // namespace
}  // namespace zelvan
