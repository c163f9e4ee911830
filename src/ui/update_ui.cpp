#include "ui/update_ui.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QTimer>

#include "base/error.h"
#include "jobs/version_info.h"
#include "ui/window_texts.h"

namespace zelvan {

UpdateCheck::UpdateCheck(QWidget* owner, const LanguageFile& texts, QDateTime& lastUpdateDate)
    : QObject(owner),
      owner_(owner),
      texts_(texts),
      lastUpdateDate_(lastUpdateDate),
      messageBox_(ShowMessageBox),
      openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }),
      now_([] { return QDateTime::currentDateTime(); }) {
    reminderTimer_.setObjectName(QStringLiteral("Timer4"));
    reminderTimer_.setInterval(kUpdateReminderDelay);
    connect(&reminderTimer_, &QTimer::timeout, this, &UpdateCheck::onReminderTick);
}

void UpdateCheck::CheckForUpdates() {
    // A reminder still pending would claim that no check was made.
    reminderTimer_.stop();
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
        Tell(QMessageBox::Critical, "Error", "UpdateCheckError");
        return;
    }

    if (!newer) {
        lastUpdateDate_ = now_();
        Tell(QMessageBox::Information, "Information", "UpToDate");
        return;
    }
    if (!AskYesNo("Update")) return;
    const QString page = DownloadPageUrl(texts_.CurrentLanguage());
    if (!page.isEmpty()) openUrl_(QUrl(page));
    lastUpdateDate_ = now_();
}

bool UpdateCheck::ReminderDue() const { return UpdateReminderDue(now_(), lastUpdateDate_); }

void UpdateCheck::StartReminderIfDue() {
    if (ReminderDue()) reminderTimer_.start();
}

void UpdateCheck::onReminderTick() {
    reminderTimer_.stop();
    if (AskYesNo("UpdateReq"))
        CheckForUpdates();
    else
        lastUpdateDate_ = now_();
}

}  // namespace zelvan

namespace zelvan {

bool UpdateCheck::AskYesNo(const char* textKey) {
    return messageBox_(owner_, QMessageBox::Warning, Tr(texts_, "Confirmation"), Tr(texts_, textKey),
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void UpdateCheck::Tell(QMessageBox::Icon icon, const char* captionKey, const char* textKey) {
    messageBox_(owner_, icon, Tr(texts_, captionKey), Tr(texts_, textKey), QMessageBox::Ok);
}

}  // namespace zelvan
