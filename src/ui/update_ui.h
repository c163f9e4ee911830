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

class QWidget;

namespace zelvan {

// The reminder timer's interval: the reminder comes this long after start-up.
inline constexpr std::chrono::milliseconds kUpdateReminderDelay{2500};

// How the update check talks to the user and opens a page. The defaults are message boxes owned
// by the main window and the desktop's browser; tests put in their own.
struct UpdatePrompts {
    // A warning with Yes and No buttons; true for Yes.
    std::function<bool(QWidget* owner, const QString& caption, const QString& text)> askYesNo;
    // An information box.
    std::function<void(QWidget* owner, const QString& caption, const QString& text)> inform;
    // An error box.
    std::function<void(QWidget* owner, const QString& caption, const QString& text)> showError;
    // Opens a web page in the user's browser; a failure is not reported.
    std::function<void(const QUrl& url)> openUrl;
};
UpdatePrompts MessageBoxPrompts();

// The Help menu's update check and the reminder at start-up, with the reminder's timer. A child
// of the main window (`owner`, which also owns the message boxes); `texts` (whose current
// language picks the messages and the download page) and `lastUpdateDate` (the setting
// "LastUpdateDate") must outlive it.
class UpdateCheck : public QObject {
    Q_OBJECT
public:
    UpdateCheck(QWidget* owner, const LanguageFile& texts, QDateTime& lastUpdateDate);

    void SetPrompts(UpdatePrompts prompts) { prompts_ = std::move(prompts); }
    // The clock that stamps LastUpdateDate; the system's by default.
    void SetClock(std::function<QDateTime()> now) { now_ = std::move(now); }
    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // "Check for updates...": fetches the newest version number and offers the download page
    // when it is newer. LastUpdateDate advances when the program is up to date or the user takes
    // the offer; it stays when the check fails or the offer is declined. Only one check runs
    // at a time: a call during a check returns at once. A pending reminder is dropped.
    void CheckForUpdates();
    // The Help menu item's handler.
    void N126Click() { CheckForUpdates(); }

    // True when the last check is more than 14 days old.
    bool ReminderDue() const;
    // Start-up: switches the reminder timer on when the reminder is due; it then comes
    // kUpdateReminderDelay later.
    void StartReminderIfDue();

    // The reminder timer's tick: switches the timer off (one reminder per start of the program),
    // then asks; Yes runs the check, No counts as a check made now.
    void Timer4Timer();
    QTimer& ReminderTimer() { return Timer4; }

private:
    QTimer Timer4;
    QWidget* owner_;
    const LanguageFile& texts_;
    QDateTime& lastUpdateDate_;
    UpdatePrompts prompts_;
    std::function<QDateTime()> now_;
    std::chrono::milliseconds timeout_ = kUpdateFetchTimeout;
    bool checking_ = false;
};

}  // namespace zelvan
