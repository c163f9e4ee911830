#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace zelvan {

// Shows a message box owned by `owner` and returns the button pressed. A window that shows
// message boxes holds one of these, set to ShowMessageBox unless a test answers instead.
using MessageBoxFunction = std::function<QMessageBox::StandardButton(
    QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
    QMessageBox::StandardButtons buttons)>;

// The real message box, modal until the user answers.
QMessageBox::StandardButton ShowMessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption,
                                           const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);

}  // namespace zelvan
