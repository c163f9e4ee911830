#include "ui/window_texts.h"

#include "base/error.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QWidget>

namespace zelvan {

WindowTextRules MainWindowTextRules() {
    WindowTextRules rules;
    rules.labelHints = true;
    rules.checkBoxHints = true;
    rules.tabPages = true;
    rules.spinBoxHints = true;
    rules.toolButtonHints = true;
    rules.menuItems = true;
    return rules;
}

WindowTextRules ProgressWindowTextRules() {
    WindowTextRules rules;
    rules.tabPages = true;
    return rules;
}

WindowTextRules StatisticsWindowTextRules() { return {}; }

WindowTextRules AboutWindowTextRules() {
    WindowTextRules rules;
    rules.labelHints = true;
    return rules;
}

QString WindowTextOf(const LanguageFile& file, std::string_view language, const std::string& key,
                     const QString& fallback) {
    const std::string fallbackText = fallback.toStdString();
    return QString::fromStdString(file.WindowText(language, key, fallbackText));
}

namespace {

template <typename T>
bool IsExactly(const QObject* object) {
    return object->metaObject() == &T::staticMetaObject;
}

// Whether a control belongs to this window rather than to a dialog the window owns (the other
// windows are its children, and their controls have names of their own).
// Menus are windows of their own (popups) but belong to the window that holds them.
bool BelongsTo(const QObject* object, const QWidget& window) {
    for (const QObject* o = object; o; o = o->parent()) {
        if (!o->isWidgetType()) continue;
        const QWidget* top = static_cast<const QWidget*>(o)->window();
        while (top->windowType() == Qt::Popup && top->parentWidget()) top = top->parentWidget()->window();
        return top == &window;
    }
    return false;
}

}  // namespace

void ApplyWindowTexts(QWidget& window, std::string_view componentName, const LanguageFile& file,
                      std::string_view language, const WindowTextRules& rules) {
    const std::string prefix(componentName);
    window.setWindowTitle(WindowTextOf(file, language, prefix, window.windowTitle()));

    auto text = [&](const QObject* object, const QString& current) {
        return WindowTextOf(file, language, prefix + object->objectName().toStdString(), current);
    };
    auto hint = [&](const QObject* object, const QString& current) {
        return WindowTextOf(file, language, prefix + object->objectName().toStdString() + "Hint", current);
    };

    for (QObject* object : window.findChildren<QObject*>()) {
        if (!BelongsTo(object, window)) continue;
        // Pages are keyed by their own names, whatever the tab widget is called.
        if (IsExactly<QTabWidget>(object)) {
            auto* tabs = static_cast<QTabWidget*>(object);
            if (!rules.tabPages) continue;
            for (int i = 0; i < tabs->count(); ++i) {
                const QWidget* page = tabs->widget(i);
                if (!page->objectName().isEmpty()) tabs->setTabText(i, text(page, tabs->tabText(i)));
            }
            continue;
        }
        if (object->objectName().isEmpty()) continue;
        if (IsExactly<QPushButton>(object)) {
            auto* button = static_cast<QPushButton*>(object);
            button->setText(text(button, button->text()));
        } else if (IsExactly<QLabel>(object)) {
            auto* label = static_cast<QLabel*>(object);
            label->setText(text(label, label->text()));
            if (rules.labelHints) label->setToolTip(hint(label, label->toolTip()));
        } else if (IsExactly<QCheckBox>(object)) {
            auto* box = static_cast<QCheckBox*>(object);
            box->setText(text(box, box->text()));
            if (rules.checkBoxHints) box->setToolTip(hint(box, box->toolTip()));
        } else if (IsExactly<QRadioButton>(object)) {
            auto* radio = static_cast<QRadioButton*>(object);
            radio->setText(text(radio, radio->text()));
        } else if (IsExactly<QGroupBox>(object)) {
            auto* group = static_cast<QGroupBox*>(object);
            group->setTitle(text(group, group->title()));
        } else if (IsExactly<QLineEdit>(object)) {
            auto* edit = static_cast<QLineEdit*>(object);
            edit->setText(text(edit, edit->text()));
        } else if (IsExactly<QSpinBox>(object)) {
            auto* spin = static_cast<QSpinBox*>(object);
            if (rules.spinBoxHints) spin->setToolTip(hint(spin, spin->toolTip()));
        } else if (IsExactly<QToolButton>(object)) {
            auto* tool = static_cast<QToolButton*>(object);
            if (rules.toolButtonHints) tool->setToolTip(hint(tool, tool->toolTip()));
        } else if (IsExactly<QAction>(object)) {
            auto* action = static_cast<QAction*>(object);
            if (rules.menuItems && !action->isSeparator()) action->setText(text(action, action->text()));
        } else if (IsExactly<QMenu>(object)) {
            auto* menu = static_cast<QMenu*>(object);
            if (rules.menuItems) menu->setTitle(text(menu, menu->title()));
        }
    }
}

void ApplyWindowTextsFromFile(QWidget& window, std::string_view componentName, const std::string& langIniPath,
                              std::string_view language, const WindowTextRules& rules) {
    LanguageFile file;
    try {
        file = LanguageFile::Load(langIniPath);
    } catch (const Error&) {
        return;
    }
    ApplyWindowTexts(window, componentName, file, language, rules);
}

}  // namespace zelvan
