#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "jobs/language.h"

class QWidget;

namespace zelvan {

// Which kinds of control take which window text from lang.ini. A control counts only when its
// class is exactly the one named (a subclass is left alone), so a window can keep a control out
// of the rule by giving it a class of its own.
struct WindowTextRules {
    bool labelHints = false;       // QLabel: its tool tip from <key>Hint
    bool checkBoxHints = false;    // QCheckBox: its tool tip from <key>Hint
    bool tabPages = false;         // a QTabWidget page: the tab's text, keyed by the page's name
    bool spinBoxHints = false;     // QSpinBox: its tool tip
    bool toolButtonHints = false;  // QToolButton: its tool tip
    bool menuItems = false;        // QAction and QMenu: their texts
};

// The rules of each window.
WindowTextRules MainWindowTextRules();
WindowTextRules ProgressWindowTextRules();
WindowTextRules StatisticsWindowTextRules();
WindowTextRules AboutWindowTextRules();

// Applies `language` to a window by the naming rule: its caption from the key `componentName`;
// each named control's caption or text from componentName + objectName and its hint from that
// key + "Hint". Buttons (QPushButton), labels, check boxes, radio buttons, group boxes and
// single-line edits always take their text; the rest follow `rules`. A key missing from the
// file keeps the control's current text.
void ApplyWindowTexts(QWidget& window, std::string_view componentName, const LanguageFile& file,
                      std::string_view language, const WindowTextRules& rules);

// The same with lang.ini read afresh from `langIniPath`, as the secondary windows read it each
// time; an unreadable file leaves every text as it is.
void ApplyWindowTextsFromFile(QWidget& window, std::string_view componentName, const std::string& langIniPath,
                              std::string_view language, const WindowTextRules& rules);

// The text of a window key with a fallback, as QString.
QString WindowTextOf(const LanguageFile& file, std::string_view language, const std::string& key,
                     const QString& fallback);

// A looked-up text as QString.
inline QString Tr(const LanguageFile& file, std::string_view key) {
    return QString::fromStdString(file.LookupText(key));
}

}  // namespace zelvan
