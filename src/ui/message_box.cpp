#include "ui/message_box.h"

#include <QDesktopServices>
#include <QUrl>

namespace zelvan {

QMessageBox::StandardButton ShowMessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption,
                                           const QString& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, caption, text, buttons, owner, kDialogFrame);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool OpenWithDesktop(const QUrl& url) { return QDesktopServices::openUrl(url); }

void OpenOrShowWhere(QWidget* owner, const QUrl& url, const UrlOpener& open, const MessageBoxFunction& show,
                     const QString& caption, const QString& text) {
    if (open(url)) return;
    // A mail address without its "mailto:", a file as its path.
    const QString where = url.isLocalFile()                      ? url.toLocalFile()
                          : url.scheme() == QLatin1String("mailto") ? url.path()
                                                                     : url.toString();
    show(owner, QMessageBox::Information, caption, text + "\n\n" + where, QMessageBox::Ok);
}

}  // namespace zelvan
