#include "ui/message_box.h"

namespace zelvan {

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
}  // namespace

QMessageBox::StandardButton ShowMessage(QWidget* owner, QMessageBox::Icon icon, const QString& caption,
                                        const QString& text, QMessageBox::StandardButtons buttons) {
    if (Hook()) return Hook()(owner, icon, caption, text, buttons);
    QMessageBox box(icon, caption, text, buttons, owner);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

}  // namespace zelvan
