#pragma once

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/ini.h"
#include "engine/conversion_options.h"

namespace zelvan {

// The per-user settings file, Settings.ini: read once when the main window is created, written
// once when it closes. Sections "Settings" (the options and the window's own state),
// "Text_Font" (the text stamp's font) and one "Form_pos_<width>x<height>" per screen size.

// $XDG_CONFIG_HOME/Zelvan/ (~/.config/Zelvan/ when the variable is unset or not an absolute
// path), with a trailing "/".
std::string SettingsFolder();
// SettingsFolder() + "Settings.ini".
std::string SettingsFilePath();
// Creates the folder with any missing parents; throws Error when it does not exist afterwards.
void EnsureFolderExists(const std::string& folder);

// The file as it stands; an empty file when there is none. Throws Error when it exists but
// cannot be read.
IniFile LoadSettingsFile(const std::string& path);

struct ScreenSize {
    int width = 1920;
    int height = 1080;
};

// The main window's placement on one screen size.
struct WindowPlacement {
    int x = 0;
    int y = 0;
    int width = 900;
    int height = 548;
    bool maximized = false;
};

constexpr int kMainWindowMinWidth = 764;
constexpr int kMainWindowMinHeight = 423;

// "Form_pos_1920x1080".
std::string PlacementSection(ScreenSize screen);
// A 900 x 548 window in the middle of the screen.
WindowPlacement DefaultPlacement(ScreenSize screen);
// Where a stored placement puts the window: no smaller than the window's minimum, and centred
// when its right or bottom edge lies beyond the screen. A window partly beyond the left or top
// edge stays where it is.
WindowPlacement PlaceOnScreen(WindowPlacement stored, ScreenSize screen);

// The user's short date format: the locale for month names and digits, and its pattern
// (QLocale::ShortFormat). Tests pass their own.
struct ShortDateFormat {
    QLocale locale;
    QString pattern;
    static ShortDateFormat Of(const QLocale& locale);
    static ShortDateFormat System() { return Of(QLocale::system()); }
};

std::string FormatShortDate(QDate date, const ShortDateFormat& format);
// Nothing when the text does not parse. A two-digit year is taken from the hundred years that
// end twenty years after `today`.
std::optional<QDate> ParseShortDate(std::string_view text, const ShortDateFormat& format, QDate today);

// Everything the settings file keeps.
struct AppSettings {
    ConversionOptions options;
    std::string language = "English";
    QDateTime lastUpdateDate;  // read: the stored date at midnight; written: the date part only
    std::int64_t allProcessedFiles = 0;
    std::int64_t allProcessedBytes = 0;  // KiB
    WindowPlacement placement;           // for the current screen size, as stored
    int windowHeight = 548;  // written only: the window's height at close
    std::string lastAddFilesFolder;   // where the add-files dialog opens; empty: its own choice
    std::string lastAddFolderFolder;  // where the add-folder dialog opens
};

// Reads by the file's rules: a missing section or key, or a value that is not a number or not a
// date, gives the default (the options of DefaultConversionOptions for the screen, the
// placement of DefaultPlacement, the language "English", `now` for the last update check, zero
// totals). Negative totals read as 0.
AppSettings ReadSettings(const IniFile& ini, ScreenSize screen, const ShortDateFormat& dates, const QDateTime& now);

// Writes every value in the order of the option table into `ini`, then the placement section;
// `ini` keeps whatever else it holds (other screens' placements among them). A maximised window keeps the section's
// earlier "X", "Y", "Width" and "Height", so its normal placement survives; "Maximized" is
// always written. Throws Error only for a text the file cannot hold (a line break).
void WriteSettings(IniFile& ini, const AppSettings& settings, ScreenSize screen, const ShortDateFormat& dates);

// The warning shown when the settings cannot be saved: for "English" and "Russian" only, since
// the language file may be the very thing that is missing.
struct MessageText {
    std::string caption;
    std::string text;
};
std::optional<MessageText> SaveFailureMessage(std::string_view language);

}  // namespace zelvan
