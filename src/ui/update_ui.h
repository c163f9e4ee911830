#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>

#include "jobs/language.h"
#include "jobs/update_check.h"
#include "ui/message_box.h"

class QWidget;

namespace zelvan {

// The reminder timer's interval: the reminder comes this long after start-up.
inline constexpr std::chrono::milliseconds kUpdateReminderDelay{2500};

// The Help menu's update check and the reminder at start-up, with the reminder's timer. A child
// of the main window (`owner`, which also owns the message boxes); `texts` (whose current
// language picks the messages and the download page) and `lastUpdateDate` (the setting
// "LastUpdateDate") must outlive it.
class UpdateCheck : public QObject {
    Q_OBJECT
public:
    UpdateCheck(QWidget* owner, const LanguageFile& texts, QDateTime& lastUpdateDate);

    // How it talks to the user: message boxes owned by `owner` by default (questions are
    // warnings with Yes and No); tests answer instead.
    void SetMessageBox(MessageBoxFunction show) { messageBox_ = std::move(show); }
    // How the download page is opened: the desktop's browser by default; a failure is not
    // reported.
    void SetUrlOpener(std::function<void(const QUrl&)> open) { openUrl_ = std::move(open); }
    // The clock that stamps LastUpdateDate; the system's by default.
    void SetClock(std::function<QDateTime()> now) { now_ = std::move(now); }
    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // "Check for updates...": fetches the newest version number and offers the download page
    // when it is newer. LastUpdateDate advances when the program is up to date or the user takes
    // the offer; it stays when the check fails or the offer is declined. Only one check runs
    // at a time: a call during a check returns at once. A pending reminder is dropped.
    void CheckForUpdates();

    // True when the last check is more than 14 days old.
    bool ReminderDue() const;
    // Start-up: switches the reminder timer on when the reminder is due; it then comes
    // kUpdateReminderDelay later.
    void StartReminderIfDue();

    // The reminder timer's tick: switches the timer off (one reminder per start of the program),
    // then asks; Yes runs the check, No counts as a check made now.
    void onReminderTick();
    QTimer& ReminderTimer() { return reminderTimer_; }

private:
    bool AskYesNo(const char* textKey);
    void Tell(QMessageBox::Icon icon, const char* captionKey, const char* textKey);

    QTimer reminderTimer_;
    QWidget* owner_;
    const LanguageFile& texts_;
    QDateTime& lastUpdateDate_;
    MessageBoxFunction messageBox_;
    std::function<void(const QUrl&)> openUrl_;
    std::function<QDateTime()> now_;
    std::chrono::milliseconds timeout_ = kUpdateFetchTimeout;
    bool checking_ = false;
};

}  // namespace zelvan
