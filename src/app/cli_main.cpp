#include <unistd.h>

#include <QGuiApplication>

#include <cctype>
#include <iostream>
#include <memory>

#include "app/cli.h"
#include "engine/text_stamp.h"
#include "jobs/library_messages.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    // The text stamp's fonts need a QGuiApplication; the command line has no windows, so it runs
    // on the offscreen platform and needs no display.
    // Starting it costs tens of milliseconds per process, so it starts only when a text stamp
    // may be asked for (by --set or by a settings file).
    bool stampPossible = false;
    for (const std::string& a : args) {
        std::string lower = a;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "--settings" || lower.find("watermark_enable") != std::string::npos) stampPossible = true;
    }
    std::unique_ptr<QGuiApplication> fonts = stampPossible ? zelvan::StartOffscreenFontSystem() : nullptr;
    // Standard error says only what the program says: the libraries' own lines go nowhere.
    zelvan::ProgramStandardError err = zelvan::ProgramStandardError::Take();
    return zelvan::RunCommandLine(args, std::cin, std::cout, err.stream(), err.isTerminal());
}
