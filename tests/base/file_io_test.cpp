#include "base/file_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>

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

// Both ways of writing, the unnamed temporary file and the named one of file systems without
// unnamed files, keep the same promises, for a name of the longest length a file system allows.
TEST(FileIo, BothTemporaryFilesFitTheLongestNameAndLeaveNothingBehind) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
        test::TempDir dir;
        const std::string path = dir / (std::string(251, 'n') + ".BMP");
        const std::vector<std::uint8_t> first{1, 2, 3}, second(5000, 7);
        WriteFileAtomically(path, first, {.replace = false, .unnamedTemporary = unnamed});
        EXPECT_EQ(test::ReadBytes(path), first);
        EXPECT_THROW(WriteFileAtomically(path, second, {.replace = false, .unnamedTemporary = unnamed}),
                     FileExistsError);
        EXPECT_EQ(test::ReadBytes(path), first);
        WriteFileAtomically(path, second, {.durable = true, .unnamedTemporary = unnamed});
        EXPECT_EQ(test::ReadBytes(path), second);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_NE(st.st_mode & S_IRGRP, 0u) << "not left private like a temporary file";

        // A write that fails midway, as on a full disk.
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit tight = saved;
        tight.rlim_cur = 4096;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        EXPECT_THROW(WriteFileAtomically(dir / "other.BMP", std::vector<std::uint8_t>(100000, 1),
                                         {.unnamedTemporary = unnamed}),
                     Error);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);

        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{ExtractFileName(path)}) << "no temporary file left";
    }
}

// A pipe or a device is refused at once, without waiting for a writer or reading forever.
TEST(FileIo, OnlyRegularFilesAreReadAndPipesNeverBlock) {
    test::TempDir dir;
    const std::string fifo = dir / "pipe.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] {
        try {
            ReadFileBytes(fifo);
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("read");
    });
    if (reading.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        // Opening the writing end releases a reader stuck in open(), so the test ends.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        reading.wait();
        if (writer >= 0) ::close(writer);
        FAIL() << "reading a pipe blocked";
    }
    EXPECT_EQ(reading.get(), "not a regular file");
    EXPECT_EQ(FileSizeOf(fifo), -1);
    EXPECT_TRUE(FileExists(fifo));
    EXPECT_FALSE(IsRegularFile(fifo));
    EXPECT_THROW(ReadFileBytes("/dev/zero"), Error);
    EXPECT_THROW(ReadFileBytes(dir.path().string()), Error);
}

// A sparse file just past the limit costs no disk; it is refused by its size, before reading.
TEST(FileIo, SourcesAboveTheLimitAreRefusedByTheirSizeWithTheLimitNamed) {
    test::TempDir dir;
    const std::string path = dir / "huge.png";
    test::WriteBytes(path, {});
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kMaxReadBytes + 1)), 0);
    try {
        ReadFileBytes(path);
        FAIL() << "a file above the limit was read";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "File is too large (2147483649 bytes; the limit is 2 GiB)");
    }
    EXPECT_EQ(FileSizeOf(path), INT32_MAX);
    // Exactly the size stated is read: a file as large as the limit is accepted.
    test::WriteBytes(path, std::vector<std::uint8_t>(4096, 5));
    EXPECT_EQ(ReadFileBytes(path, 4096), std::vector<std::uint8_t>(4096, 5));
    EXPECT_THROW(ReadFileBytes(path, 4095), Error);
}

// The first bytes are looked at before the rest is read: the check sees them (all of a short
// file), and the file read after it passes is the whole file.
TEST(FileIo, FirstBytesAreCheckedBeforeTheRest) {
    test::TempDir dir;
    for (const std::size_t size : {std::size_t{0}, std::size_t{10}, kFileStartBytes, std::size_t{100000}}) {
        SCOPED_TRACE(size);
        std::vector<std::uint8_t> content(size);
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<std::uint8_t>(i * 7 + 1);
        const std::string path = dir / "file.bin";
        test::WriteBytes(path, content);
        std::vector<std::uint8_t> seen;
        const auto bytes = ReadFileBytes(path, kMaxReadBytes, [&](std::span<const std::uint8_t> start) {
            seen.assign(start.begin(), start.end());
        });
        EXPECT_EQ(bytes, content);
        EXPECT_EQ(seen, std::vector<std::uint8_t>(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(std::min(size, kFileStartBytes))));
    }
}

// A check that refuses the first bytes of a file just under the limit stops the reading before
// memory for the file is taken: in a child whose address space leaves no room for the file, the
// check's message comes back, where reading the file whole fails for want of memory.
TEST(FileIo, RefusedFirstBytesStopTheReadingOfAHugeFile) {
    test::TempDir dir;
    const std::string path = dir / "huge.png";
    test::WriteBytes(path, {});
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kMaxReadBytes - 1)), 0);
    auto inSmallAddressSpace = [&](bool refuse) {
        const pid_t child = ::fork();
        if (child == 0) {
            long pages = 0;
            if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                std::fclose(f);
            }
            const rlimit limit{static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE)) + (256u << 20),
                               static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE)) + (256u << 20)};
            ::setrlimit(RLIMIT_AS, &limit);
            try {
                ReadFileBytes(path, kMaxReadBytes, [&](std::span<const std::uint8_t>) {
                    if (refuse) throw Error("PNG: not a PNG file");
                });
            } catch (const Error& e) {
                ::_exit(std::string(e.what()) == "PNG: not a PNG file" ? 10 : 11);
            } catch (const std::bad_alloc&) {
                ::_exit(12);
            }
            ::_exit(13);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(inSmallAddressSpace(true), 10);
    // Unrefused, the same read runs out of the small address space.
    const int unrefused = inSmallAddressSpace(false);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's allocator ends the process instead of throwing std::bad_alloc.
    EXPECT_TRUE(unrefused != 10 && unrefused != 13) << unrefused;
#else
    EXPECT_EQ(unrefused, 12);
#endif
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
