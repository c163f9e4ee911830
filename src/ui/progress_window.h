#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "jobs/error_list.h"
#include "jobs/language.h"
#include "jobs/scheduler.h"
#include "jobs/size_text.h"
#include "ui/message_box.h"
#include "ui/taskbar_progress.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace zelvan {

// An error-list line as the window shows it: the code and the path as they are, the message in
// the current language where the program itself wrote it (a library's words stay as they are).
std::string LocalisedErrorLine(const std::string& line, const LanguageFile& texts);

// The progress window: a run's counts, sizes, elapsed time and error list while it goes and
// after it ends. Its figures are read from the scheduler's run state by its own 100 ms timer;
// it changes the run only through its button (Cancel) and its close query. The main window
// owns the run: it prepares this window, shows it modally and, when the scheduler says the run
// has completed, writes the completion figures.
class ProgressWindow : public QDialog {
    Q_OBJECT
public:
    ProgressWindow(Scheduler& scheduler, ErrorList& errors, const LanguageFile& lookups, QWidget* parent = nullptr);
    ~ProgressWindow() override;

    // Convert, before the run starts: the Cancel caption, the bar's maximum, the button enabled,
    // the error list's display emptied, the bar in its normal state and mirrored on the launcher.
    // `outputFolder` is the run's, opened by "Open output folder" once the run has ended.
    void PrepareForRun(int fileCount, const std::string& outputFolder);
    // A recipe's run makes this many outputs of each file: the count of files says so ("3/10 ×9").
    void SetOutputsPerFile(int outputs) { outputsNote_ = outputs > 1 ? QStringLiteral(" \u00D7%1").arg(outputs) : QString(); }
    // Convert's last step: the run's caption, then modal until the window closes.
    int ShowForRun();

    // Once the run has completed: the marquee off, the Close caption and the final figures with
    // the looked-up unit words.
    void WriteCompletionFigures();
    // The completion's last step: the elapsed time with the looked-up word for seconds.
    void WriteCompletionTime();
    // All of the completion's window steps in their order: closes the window when Cancel asked
    // for it, then the figures and the time. Call once the scheduler's run has finished.
    void CompleteRun();
    // The window shows the completed run's figures (CompleteRun came after the last PrepareForRun).
    bool ShowsCompletedRun() const { return showsCompletedRun_; }
    // The program closes the window (a run cancelled earlier has completed, a job could not be
    // started); goes through the close query like any close.
    void CloseByProgram();

    // The window's texts from lang.ini, read afresh: captions by the naming rule.
    void ApplyLanguage(const std::string& langIniPath, const std::string& language);

    // The refresh tick, every 100 ms from construction on.
    void onRefreshTick();
    // The button: Cancel while the run goes, Close once it has completed.
    void onCancelOrCloseClicked();
    // "Open output folder", enabled once the run has completed: the file manager on the run's
    // output folder, or a message with its path when nothing can open it.
    void OpenOutputFolder();

    TaskbarProgress& Taskbar() { return *taskbar_; }

    // The question "Terminate program?" (true for Yes; a message box with No as its default),
    // the clock of the elapsed time and the user's decimal separator: the real ones by default,
    // tests put in their own.
    using TerminateQuestion = std::function<bool(QWidget* parent, const QString& caption, const QString& text)>;
    void SetTerminateQuestion(TerminateQuestion ask) { terminateQuestion_ = std::move(ask); }
    void SetClock(std::function<std::chrono::steady_clock::time_point()> clock) { clock_ = std::move(clock); }
    void SetDecimalSeparator(std::string separator) { decimalSeparator_ = std::move(separator); }
    void SetUrlOpener(UrlOpener open) { urlOpener_ = std::move(open); }
    void SetMessageBox(MessageBoxFunction show) { messageBox_ = std::move(show); }

signals:
    // Cancel has stopped the run: the main window brings its controls in line.
    void RunCancelled();
    // "Terminate program?" was answered Yes while jobs of a stopped run were still running.
    void TerminateRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Escape closes through the close query as the close box does.
    void reject() override;
    // Return and Enter reach the default button only when pressed afresh and alone.
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Cancel();
    void CloseAfterRun();
    void SyncErrorLog();
    std::int64_t ElapsedMs() const;
    SizeUnits LookedUpUnits() const;

    Scheduler& scheduler_;
    ErrorList& errors_;
    const LanguageFile& lookups_;

    QLabel* threadsCaption_;
    QLabel* runningJobs_;
    QLabel* processedCaption_;
    QLabel* processedCount_;
    QString outputsNote_;
    QLabel* inputSizeCaption_;
    QLabel* inputSize_;
    QLabel* outputSizeCaption_;
    QLabel* outputSize_;
    QLabel* elapsedCaption_;
    QLabel* elapsed_;
    QProgressBar* progressBar_;
    QPlainTextEdit* errorLog_;
    QPushButton* cancelOrCloseButton_;
    QPushButton* openFolderButton_;
    QTimer* refreshTimer_;
    TaskbarProgress* taskbar_;

    std::size_t shownLines_ = 0;
    bool showsCompletedRun_ = false;
    // Coalesces the error list's wake-ups: at most one is queued at a time.
    std::shared_ptr<std::atomic<bool>> syncQueued_ = std::make_shared<std::atomic<bool>>(false);
    TerminateQuestion terminateQuestion_;
    UrlOpener urlOpener_;
    MessageBoxFunction messageBox_;
    std::string outputFolder_;
    std::function<std::chrono::steady_clock::time_point()> clock_;
    std::string decimalSeparator_;
};

}  // namespace zelvan
