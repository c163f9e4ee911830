#include <unistd.h>

#include <QGuiApplication>

#include <iostream>
#include <memory>

#include "app/cli.h"
#include "engine/text_stamp.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    // The text stamp's fonts need a QGuiApplication; the command line has no windows, so it runs
    // on the offscreen platform and needs no display.
    std::unique_ptr<QGuiApplication> fonts = zelvan::StartOffscreenFontSystem();
    return zelvan::RunCommandLine(args, std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
}
