#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QUrl>
#include <functional>
#include <string>

class QLabel;
class QPushButton;

namespace zelvan {

// The application's icon (every size of it), compiled into the program.
QIcon ZelvanIcon();
// The product's name as the windows show it: the about window's heading and the main window's
// title.
QString ProductDisplayName();

// The about window: product picture and name, version, build date, a support mail link and a
// link to the product web site. The main window creates it at start-up and keeps it for its life.
class AboutWindow : public QDialog {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget* parent = nullptr);

    // Reads lang.ini afresh and applies `language` by the naming rule (window name "AboutForm");
    // labels take their hints too. An unreadable file leaves every text as it is.
    void ApplyLanguage(const std::string& langIniPath, const std::string& language);

    // The Help menu's "About": the version and the build date text into their labels, then the
    // window modally.
    void ShowAbout(const QString& versionText, const QString& buildDateText);

    // How a link is opened: the desktop's handler by default; tests catch the URL instead.
    void SetUrlOpener(std::function<void(const QUrl&)> open) { openUrl_ = std::move(open); }

    // The two links' targets.
    static QUrl SupportMailUrl();
    static QUrl WebSiteUrl();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* productName_;
    QLabel* version_;
    QLabel* buildDateCaption_;
    QLabel* buildDate_;
    QLabel* supportMail_;
    QLabel* webSite_;
    QPushButton* closeButton_;
    std::function<void(const QUrl&)> openUrl_;
};

}  // namespace zelvan
