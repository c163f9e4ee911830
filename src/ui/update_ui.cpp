#include "ui/update_ui.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QTimer>

#include "base/error.h"
#include "jobs/version_info.h"
#include "ui/window_texts.h"

namespace zelvan {

UpdatePrompts MessageBoxPrompts() {
    UpdatePrompts prompts;
    prompts.askYesNo = [](QWidget* owner, const QString& caption, const QString& text) {
        return QMessageBox::warning(owner, caption, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    prompts.inform = [](QWidget* owner, const QString& caption, const QString& text) {
        QMessageBox::information(owner, caption, text);
    };
    prompts.showError = [](QWidget* owner, const QString& caption, const QString& text) {
        QMessageBox::critical(owner, caption, text);
    };
    prompts.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return prompts;
}

UpdateCheck::UpdateCheck(QWidget* owner, const LanguageFile& texts, QDateTime& lastUpdateDate)
    : QObject(owner),
      owner_(owner),
      texts_(texts),
      lastUpdateDate_(lastUpdateDate),
      prompts_(MessageBoxPrompts()),
      now_([] { return QDateTime::currentDateTime(); }) {
    Timer4.setObjectName(QStringLiteral("Timer4"));
    Timer4.setInterval(kUpdateReminderDelay);
    connect(&Timer4, &QTimer::timeout, this, &UpdateCheck::Timer4Timer);
}

void UpdateCheck::CheckForUpdates() {
    // A reminder still pending would claim that no check was made.
    Timer4.stop();
    if (checking_) return;
    checking_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{checking_};

    bool newer = false;
    try {
        const std::int32_t remote = RemoteVersionNumber(FetchText(UpdateDescriptionUrl(), UpdateAgentName(), timeout_));
        newer = VersionNumber(VersionString()) < remote;
    } catch (const Error&) {
        // Whatever went wrong (no connection, an error page, a body that is not a version), the
        // user sees one message; the details would not help them.
        prompts_.showError(owner_, Tr(texts_, "Error"), Tr(texts_, "UpdateCheckError"));
        return;
    }

    if (!newer) {
        lastUpdateDate_ = now_();
        prompts_.inform(owner_, Tr(texts_, "Information"), Tr(texts_, "UpToDate"));
        return;
    }
    if (!prompts_.askYesNo(owner_, Tr(texts_, "Confirmation"), Tr(texts_, "Update"))) return;
    const QString page = DownloadPageUrl(texts_.CurrentLanguage());
    if (!page.isEmpty()) prompts_.openUrl(QUrl(page));
    lastUpdateDate_ = now_();
}

bool UpdateCheck::ReminderDue() const { return UpdateReminderDue(now_(), lastUpdateDate_); }

void UpdateCheck::StartReminderIfDue() {
    if (ReminderDue()) Timer4.start();
}

void UpdateCheck::Timer4Timer() {
    Timer4.stop();
    if (prompts_.askYesNo(owner_, Tr(texts_, "Confirmation"), Tr(texts_, "UpdateReq")))
        CheckForUpdates();
    else
        lastUpdateDate_ = now_();
}

}  // namespace zelvan
