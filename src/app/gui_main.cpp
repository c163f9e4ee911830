// zelvan: the windows. One instance per user; a later start hands its files to the first.
#include <QFileInfo>
#include <QStringList>
#include <cstdlib>
#include <unistd.h>

#include "ui/about_window.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/single_instance.h"
#include "ui/zelvan_application.h"

using namespace zelvan;

namespace {

// A later start: existing files and folders in their order, then the request to show the
// window.
int HandOver(const SingleInstance& instance, const QStringList& arguments) {
    for (const QString& text : HandOverTexts(arguments)) {
        if (!instance.SendToRunningInstance(text))
            ShowMessageBox(nullptr, QMessageBox::NoIcon, QStringLiteral("Zelvan"),
                        QString::fromUtf8("Ошибка при передаче данных!"));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ZelvanApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Zelvan"));
    QApplication::setDesktopFileName(QStringLiteral("zelvan"));
    QApplication::setWindowIcon(ZelvanIcon());
    const QStringList arguments = QApplication::arguments().mid(1);

    SingleInstance instance(SingleInstance::DefaultFolder());
    if (!instance.BecomePrimary()) return HandOver(instance, arguments);

    MainWindow window(DefaultMainWindowPaths());
    if (!window.Start()) return 1;
    window.CreateSecondaryWindows();
    QObject::connect(&instance, &SingleInstance::TextReceived, &window, &MainWindow::ReceiveHandOver);
    window.show();
    window.AddCommandLine(arguments);
    const int status = app.exec();
    // "Terminate program?" answered Yes: the jobs still running are not waited for.
    if (window.TerminateRequested()) {
        window.SaveSettings();
        _exit(status);
    }
    return status;
}
