#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QUrl;
class QWidget;

namespace zelvan {

// The frame of every dialog and message box: a title and a close box, no minimise or maximise
// buttons (window managers give those to any window that does not say otherwise).
inline constexpr Qt::WindowFlags kDialogFrame =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// Shows a message box owned by `owner` and returns the button pressed. A window that shows
// message boxes holds one of these, set to ShowMessageBox unless a test answers instead.
using MessageBoxFunction = std::function<QMessageBox::StandardButton(
    QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
    QMessageBox::StandardButtons buttons)>;

// The real message box, modal until the user answers; its text can be selected and copied.
QMessageBox::StandardButton ShowMessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption,
                                           const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// Opens a file or an address with the desktop's handler; false when none could be started.
using UrlOpener = std::function<bool(const QUrl& url)>;
bool OpenWithDesktop(const QUrl& url);

// Opens `url`; when no program can open it, a message box says so (`text`) and gives the path
// or address to open by hand on a line of its own.
void OpenOrShowWhere(QWidget* owner, const QUrl& url, const UrlOpener& open, const MessageBoxFunction& show,
                     const QString& caption, const QString& text);

}  // namespace zelvan
