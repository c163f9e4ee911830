#include "engine/settings_file.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/error.h"
#include "base/file_io.h"
#include "base/path_util.h"

namespace zelvan {

namespace {

constexpr const char* kSettings = "Settings";
constexpr const char* kFont = "Text_Font";

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "";
}

// An integer of the file that also fits an int; nothing otherwise.
std::optional<int> ReadInt(const IniFile& ini, std::string_view section, std::string_view key) {
    std::optional<long long> n = ini.Integer(section, key);
    if (!n || *n < INT_MIN || *n > INT_MAX) return std::nullopt;
    return static_cast<int>(*n);
}

std::int64_t ReadTotal(const IniFile& ini, std::string_view key) {
    std::optional<long long> n = ini.Integer(kSettings, key);
    return n && *n > 0 ? *n : 0;
}

}  // namespace

std::string SettingsFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // Relative paths in the variable are to be ignored.
    std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : HomeFolder() + "/.config";
    if (base.empty() || base.back() != '/') base += '/';
    return base + "Zelvan/";
}

std::string SettingsFilePath() { return SettingsFolder() + "Settings.ini"; }

void EnsureFolderExists(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!DirectoryExists(folder))
        throw Error("Cannot create the folder " + folder + (ec ? ": " + ec.message() : std::string()));
}

IniFile LoadSettingsFile(const std::string& path) {
    if (!FileExists(path) && !DirectoryExists(path)) return IniFile();
    return IniFile::Load(path);
}

std::string PlacementSection(ScreenSize screen) {
    return "Form_pos_" + std::to_string(screen.width) + "x" + std::to_string(screen.height);
}

WindowPlacement DefaultPlacement(ScreenSize screen) {
    WindowPlacement p;
    p.x = screen.width / 2 - 450;
    p.y = screen.height / 2 - 274;
    return p;
}

WindowPlacement PlaceOnScreen(WindowPlacement p, ScreenSize screen) {
    p.width = std::max(p.width, kMainWindowMinWidth);
    p.height = std::max(p.height, kMainWindowMinHeight);
    // 64-bit sums: a hand-edited position near the int limits must not wrap.
    if (std::int64_t{p.x} + p.width > screen.width || std::int64_t{p.y} + p.height > screen.height) {
        p.x = screen.width / 2 - p.width / 2;
        p.y = screen.height / 2 - p.height / 2;
    }
    return p;
}

ShortDateFormat ShortDateFormat::Of(const QLocale& locale) {
    return {locale, locale.dateFormat(QLocale::ShortFormat)};
}

std::string FormatShortDate(QDate date, const ShortDateFormat& format) {
    return format.locale.toString(date, format.pattern).toStdString();
}

std::optional<QDate> ParseShortDate(std::string_view text, const ShortDateFormat& format, QDate today) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).trimmed();
    if (s.isEmpty()) return std::nullopt;
    QDate date = format.locale.toDate(s, format.pattern);
    if (!date.isValid()) return std::nullopt;
    // Qt reads "yy" as 19yy; a date written this century must not come back a hundred years
    // old (the update reminder would then come at every start).
    if (format.pattern.contains(QLatin1String("yy")) && !format.pattern.contains(QLatin1String("yyyy"))) {
        int year = today.year() / 100 * 100 + date.year() % 100;
        if (year > today.year() + 20) year -= 100;
        else if (year <= today.year() - 80) year += 100;
        QDate shifted(year, date.month(), date.day());
        if (!shifted.isValid()) return std::nullopt;
        date = shifted;
    }
    return date;
}

AppSettings ReadSettings(const IniFile& ini, ScreenSize screen, const ShortDateFormat& dates, const QDateTime& now) {
    AppSettings s;
    s.options = DefaultConversionOptions(screen.width, screen.height);
    ReadSettingsOptions(s.options, ini);

    if (std::optional<std::string> language = ini.Value(kSettings, "Language")) s.language = *language;

    s.lastUpdateDate = now;
    if (std::optional<std::string> text = ini.Value(kSettings, "LastUpdateDate"))
        if (std::optional<QDate> date = ParseShortDate(*text, dates, now.date()))
            s.lastUpdateDate = QDateTime(*date, QTime(0, 0));

    s.allProcessedFiles = ReadTotal(ini, "AllProcessedFiles");
    s.allProcessedBytes = ReadTotal(ini, "AllProcessedBytes");
    s.lastAddFilesFolder = ini.Value(kSettings, "Last_add_files_folder").value_or("");
    s.lastAddFolderFolder = ini.Value(kSettings, "Last_add_folder_folder").value_or("");

    const std::string section = PlacementSection(screen);
    WindowPlacement& p = s.placement;
    p = DefaultPlacement(screen);
    p.x = ReadInt(ini, section, "X").value_or(p.x);
    p.y = ReadInt(ini, section, "Y").value_or(p.y);
    p.width = ReadInt(ini, section, "Width").value_or(p.width);
    p.height = ReadInt(ini, section, "Height").value_or(p.height);
    p.maximized = ini.Integer(section, "Maximized").value_or(0) != 0;
    return s;
}

void WriteSettings(IniFile& ini, const AppSettings& s, ScreenSize screen, const ShortDateFormat& dates) {
    for (const OptionInfo& info : OptionTable()) {
        const std::string_view key = info.key;
        if (info.kind == OptionInfo::Kind::Font) {
            WriteFontSetting(ini, kFont, s.options.textFont);
        } else if (info.IsOption()) {
            ini.SetValue(kSettings, key, OptionText(s.options, info));
        } else if (key == "Language") {
            ini.SetValue(kSettings, key, s.language);
        } else if (key == "Mainform_height") {
            ini.SetInteger(kSettings, key, s.windowHeight);
        } else if (key == "LastUpdateDate") {
            ini.SetValue(kSettings, key, FormatShortDate(s.lastUpdateDate.date(), dates));
        } else if (key == "AllProcessedBytes") {
            ini.SetInteger(kSettings, key, s.allProcessedBytes);
        } else if (key == "AllProcessedFiles") {
            ini.SetInteger(kSettings, key, s.allProcessedFiles);
        } else if (key == "Last_add_files_folder") {
            ini.SetValue(kSettings, key, s.lastAddFilesFolder);
        } else if (key == "Last_add_folder_folder") {
            ini.SetValue(kSettings, key, s.lastAddFolderFolder);
        } else {
            throw Error("settings: no value for " + std::string(key));
        }
    }
    const std::string section = PlacementSection(screen);
    if (!s.placement.maximized) {
        ini.SetInteger(section, "X", s.placement.x);
        ini.SetInteger(section, "Y", s.placement.y);
        ini.SetInteger(section, "Width", s.placement.width);
        ini.SetInteger(section, "Height", s.placement.height);
    }
    ini.SetBool(section, "Maximized", s.placement.maximized);
}

std::optional<MessageText> SaveFailureMessage(std::string_view language) {
    if (EqualsIgnoreCase(language, "English")) return MessageText{"Error", "Unable to save settings."};
    if (EqualsIgnoreCase(language, "Russian")) return MessageText{"Ошибка", "Невозможно сохранить настройки."};
    return std::nullopt;
}

}  // namespace zelvan
