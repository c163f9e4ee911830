// Sources that are no pictures at all (pipes, devices, files past the size limit), the longest
// output names, and a run interrupted by a signal: nothing hangs, nothing is left behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/test_support.h"

extern char** environ;

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

std::string Cli() { return test::CliCommand(); }

test::Rgba Pattern(int x, int y) {
    return {static_cast<std::uint8_t>(x * 37 % 256), static_cast<std::uint8_t>(y * 53 % 256),
            static_cast<std::uint8_t>((x + y) * 11)};
}

// Names in a folder, hidden ones included.
std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

// The command runs under `timeout`: a run that blocks fails the test (status 124) instead of
// hanging it.
TEST(HostileSources, PipesDevicesAndHugeFilesFailAtOnceWithTheirLine) {
    test::TempDir dir;
    const std::string fifo = dir / "pipe.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.png");
    const std::string huge = dir / "huge.png";
    test::WriteBytes(huge, {});
    ASSERT_EQ(::truncate(huge.c_str(), (off_t{2} << 30) + 1), 0);  // sparse: no disk used
    test::WriteBytes(dir / "good.bmp", test::MakeBmp24(8, 6, Pattern));
    const std::string out = dir / "out";

    // Under a memory ceiling below the huge file's size: it must be refused, not read. A program
    // built with AddressSanitizer reserves its shadow memory beyond any such ceiling, so there the
    // ceiling is left out (the size line still shows the file was refused, not read).
#if defined(__SANITIZE_ADDRESS__)
    const std::string ceiling;
#else
    const std::string ceiling = "ulimit -v 1500000; ";
#endif
    const std::string sources =
        ShellQuote(fifo) + " " + ShellQuote(dir / "zero.png") + " " + ShellQuote(huge) + " " + ShellQuote(dir / "good.bmp");
    const test::CommandResult r = RunCommand(ceiling + "timeout 20 " + Cli() +
                                             " -f png --set Rename_enabled=0 -o " + ShellQuote(out) + " " + sources +
                                             " 2>/dev/null");
    ASSERT_NE(r.exitStatus, 124) << "the run blocked";
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("AFO:" + fifo + ": not a regular file\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("AFO:" + (dir / "zero.png") + ": not a regular file\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("AFO:" + huge + ": File is too large (2147483649 bytes; the limit is 2 GiB)\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(NamesIn(out), std::vector<std::string>{"good.PNG"});
}

TEST(HostileSources, FolderScansPassOverPipes) {
    test::TempDir dir;
    const std::string in = dir / "in";
    fs::create_directories(in);
    ASSERT_EQ(::mkfifo((in + "/pipe.png").c_str(), 0600), 0);
    test::WriteBytes(in + "/good.bmp", test::MakeBmp24(8, 6, Pattern));
    const test::CommandResult r = RunCommand("timeout 20 " + Cli() + " -f png -o " + ShellQuote(dir / "out") + " " +
                                             ShellQuote(in) + " 2>/dev/null");
    ASSERT_NE(r.exitStatus, 124) << "the scan blocked";
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output.find("pipe.png"), std::string::npos) << r.output;
}

// A name of 255 bytes is legal, so the temporary name may not make it too long.
TEST(HostileSources, TheLongestOutputNameConverts) {
    test::TempDir dir;
    const std::string stem(251, 'n');
    test::WriteBytes(dir / (stem + ".bmp"), test::MakeBmp24(8, 6, Pattern));
    const std::string out = dir / "out";
    for (const char* overwrite : {"0", "1"}) {
        const test::CommandResult r =
            RunCommand(Cli() + " -f png --set Rename_enabled=0 --set Overwrite=" + overwrite + " -o " +
                       ShellQuote(out) + " " + ShellQuote(dir / (stem + ".bmp")) + " 2>&1");
        SCOPED_TRACE(std::string("Overwrite=") + overwrite);
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_EQ(NamesIn(out), std::vector<std::string>{stem + ".PNG"});
    }
}

// The program started with standard output into a file; its process id.
pid_t SpawnCli(const std::vector<std::string>& args, const std::string& stdoutPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    const std::string program = test::BuildDir() + "/zelvan-cli";
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// The exit status of a child, or -1 when it has not ended within the time (it is then killed).
int WaitWithin(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Interrupted once its first output is written, a run of many files starts no new job, lets the
// running ones finish whole, prints the error list with its summary, exits with 128 + the
// signal's number, and leaves no temporary file.
// libjxl as Debian builds it (without NDEBUG) prints its failures on standard error, which
// belongs to the program's own messages: a cut JPEG XL source and a CMYK JPEG that cannot be
// recompressed into JPEG XL must not reach the library's failure paths.
TEST(HostileSources, CutJpegXlAndCmykJpegLeaveStandardErrorEmpty) {
    for (const char* tool : {"cjxl", "convert"}) ASSERT_TRUE(test::HaveProgram(tool)) << tool;
    test::TempDir dir;
    fs::create_directories(dir / "in");
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(64, 48, Pattern));
    ASSERT_EQ(RunCommand("convert " + ShellQuote(dir / "a.bmp") + " " + ShellQuote(dir / "a.png")).exitStatus, 0);
    ASSERT_EQ(RunCommand("cjxl --quiet " + ShellQuote(dir / "a.png") + " " + ShellQuote(dir / "a.jxl") + " 2>&1").exitStatus, 0);
    const std::vector<std::uint8_t> whole = test::ReadBytes(dir / "a.jxl");
    for (const std::size_t keep : {std::size_t{20}, whole.size() / 2, whole.size() - 1})
        test::WriteBytes(dir / ("in/cut" + std::to_string(keep) + ".jxl"),
                         std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep)));
    ASSERT_EQ(RunCommand("convert " + ShellQuote(dir / "a.bmp") + " -colorspace CMYK " + ShellQuote(dir / "in/cmyk.jpg"))
                  .exitStatus,
              0);

    const std::string err = dir / "stderr.txt";
    const test::CommandResult r = RunCommand(Cli() + " --set Rename_enabled=0 --set Output_format=8 -o " +
                                             ShellQuote(dir / "out") + " " + ShellQuote(dir / "in") + " 2>" + ShellQuote(err));
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    const std::string cuts[] = {"cut20.jxl", "cut" + std::to_string(whole.size() / 2) + ".jxl",
                                "cut" + std::to_string(whole.size() - 1) + ".jxl"};
    for (const std::string& name : cuts)
        EXPECT_NE(r.output.find("AFO:" + (dir / ("in/" + name)) + ": JPEG XL: "), std::string::npos) << r.output;
    EXPECT_TRUE(fs::exists(dir / "out/cmyk.JXL")) << "its pixels are encoded instead";
    const std::vector<std::uint8_t> printed = test::ReadBytes(err);
    EXPECT_EQ(std::string(printed.begin(), printed.end()), "");
}

TEST(Interrupted, ARunStopsCleanlyOnSigintAndSigterm) {
    test::TempDir dir;
    const std::string in = dir / "in";
    fs::create_directories(in);
    // Many sources at little disk cost: links to one picture.
    test::WriteBytes(dir / "picture.bmp", test::MakeBmp24(900, 700, Pattern));
    constexpr int kSources = 150;
    for (int i = 0; i < kSources; ++i) fs::create_symlink(dir / "picture.bmp", in + "/p" + std::to_string(i) + ".bmp");

    struct Case {
        int signalNumber;
        int exitStatus;
    };
    for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
        SCOPED_TRACE(c.signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
        const std::string out = dir / ("out" + std::to_string(c.signalNumber));
        const std::string listing = dir / ("stdout" + std::to_string(c.signalNumber));
        const pid_t pid = SpawnCli({"-f", "png", "--set", "PNG_compression=9", "-o", out, in}, listing);
        ASSERT_GT(pid, 0);

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto firstOutput = [&] {
            for (const std::string& name : NamesIn(out))
                if (name.front() != '.') return true;
            return false;
        };
        while (!firstOutput() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(firstOutput()) << "no output appeared";
        ::kill(pid, c.signalNumber);
        EXPECT_EQ(WaitWithin(pid, std::chrono::seconds(60)), c.exitStatus);

        const std::vector<std::string> names = NamesIn(out);
        EXPECT_LT(names.size(), static_cast<std::size_t>(kSources)) << "the run went on after the signal";
        for (const std::string& name : names) {
            EXPECT_NE(name.front(), '.') << "a temporary file was left: " << name;
            // Every output is whole: a PNG ends with its IEND chunk.
            const std::vector<std::uint8_t> bytes = test::ReadBytes(out + "/" + name);
            ASSERT_GE(bytes.size(), 12u) << name;
            EXPECT_EQ(std::string(bytes.end() - 8, bytes.end() - 4), "IEND") << name;
        }
        const std::string printed = [&] {
            const std::vector<std::uint8_t> b = test::ReadBytes(listing);
            return std::string(b.begin(), b.end());
        }();
        EXPECT_NE(printed.find("-----------------------\nFiles processed: "), std::string::npos) << printed;
    }
}

}  // namespace
}  // namespace zelvan
