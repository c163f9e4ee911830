#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace zelvan {

// Every message box of the main window goes through here, so that tests can answer them.
using MessageBoxHook = std::function<QMessageBox::StandardButton(
    QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
    QMessageBox::StandardButtons buttons)>;

// Shows a message box (or asks the hook, when one is set) and returns the button pressed.
QMessageBox::StandardButton ShowMessage(QWidget* owner, QMessageBox::Icon icon, const QString& caption,
                                        const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// Replaces the boxes by `hook` until it is reset with an empty function.
void SetMessageBoxHook(MessageBoxHook hook);

}  // namespace zelvan
